// SPDX-License-Identifier: Apache-2.0
#include "looptest/TestStatistics.h"

#include <algorithm>
#include <cstdio>
#include <limits>

namespace pathmon {
namespace {

constexpr int32_t kInt32Max = std::numeric_limits<int32_t>::max();

// A phone may echo any sequence number; keep the counters defined whatever it sends.
int32_t SaturatingAdd(int32_t a, uint32_t b) {
  int64_t sum = static_cast<int64_t>(a) + static_cast<int64_t>(b);
  return static_cast<int32_t>(std::min<int64_t>(sum, kInt32Max));
}

int32_t Increment(int32_t value) { return value == kInt32Max ? value : value + 1; }

}  // namespace

bool TestStatistics::CountEcho(uint32_t sequence, int32_t rtt, uint32_t referenceSequence) {
  return CountEcho(sequence, rtt, referenceSequence, received == 0);
}

bool TestStatistics::CountEcho(uint32_t sequence, int32_t rtt, uint32_t referenceSequence,
                               bool first) {
  lastRtt = rtt;
  rttSum += rtt;
  if (rtt > kDelayedAboveMs) delayed = Increment(delayed);
  if (rtt > maxRtt) maxRtt = rtt;

  uint32_t gap = 0;
  bool inOrder = true;
  if (!first) {
    if (sequence <= referenceSequence) {
      // Late or repeated: it was counted lost when the frames after it arrived.
      if (lost > 0) lost -= 1;
      // Nor is it missing from the loss window still open, so that echoes that merely
      // overtake each other never add up to an interruption.
      if (windowLoss > 0 && static_cast<int64_t>(sequence) >= windowStart) windowLoss -= 1;
      inOrder = false;
    } else {
      gap = sequence - referenceSequence - 1;
      if (gap != 0) {
        lost = SaturatingAdd(lost, gap);
        if (gap > static_cast<uint32_t>(maxBurstLost)) {
          maxBurstLost = static_cast<int32_t>(std::min<uint32_t>(gap, kInt32Max));
        }
      }
    }
  }

  if (inOrder) AdvanceWindow(sequence, gap);

  received = Increment(received);
  avgRtt = static_cast<int32_t>(rttSum / received);
  return inOrder;
}

void TestStatistics::CountFinalGap(uint32_t nextSequence, uint32_t referenceSequence,
                                   bool noReference) {
  const uint32_t from = noReference ? 0 : referenceSequence + 1;
  if (nextSequence <= from) return;
  const uint32_t gap = nextSequence - from;
  lost = SaturatingAdd(lost, gap);
  if (gap > static_cast<uint32_t>(maxBurstLost)) {
    maxBurstLost = static_cast<int32_t>(std::min<uint32_t>(gap, kInt32Max));
  }
  AdvanceWindow(nextSequence, gap);
}

void TestStatistics::AdvanceWindow(uint32_t sequence, uint32_t gap) {
  // A loss window spans at least 50 sequence numbers; 10 or more missing in it make an
  // interruption (about one second of speech at the 20 ms interval). The gap that closes
  // a window counts toward it. A gap that spans several windows closes one long span: it
  // counts once for every 50 frames of that span, so that an outage of a minute is some
  // sixty interruptions and not one.
  windowLoss = SaturatingAdd(windowLoss, gap);
  const int64_t span = static_cast<int64_t>(sequence) - windowStart;
  if (span >= kWindowFrames) {
    if (windowLoss >= kInterruptionLoss) {
      interruptions = SaturatingAdd(interruptions, static_cast<uint32_t>(span / kWindowFrames));
    }
    windowStart = static_cast<int32_t>(std::min<uint32_t>(sequence, kInt32Max));
    windowLoss = 0;
  }
}

int FormatResult(const TestStatistics& stats, char* text, std::size_t size) {
  int n = std::snprintf(text, size,
                        "INTERRUPTIONS:%3d MAXBURSTLOST:%5d SEND:%5d LOST:%5d DELAYED:%5d "
                        "AVGRTT:%5d MAXRTT:%5d",
                        stats.interruptions, stats.maxBurstLost, stats.sent, stats.lost,
                        stats.delayed, stats.avgRtt, stats.maxRtt);
  if (n < 0 || size == 0) return 0;
  return std::min<int>(n, static_cast<int>(size) - 1);
}

}  // namespace pathmon
