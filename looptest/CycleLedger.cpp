// SPDX-License-Identifier: Apache-2.0
#include "looptest/CycleLedger.h"

#include <algorithm>
#include <limits>

namespace pathmon {
namespace {

constexpr int32_t kInt32Max = std::numeric_limits<int32_t>::max();

int32_t Increment(int32_t value) { return value == kInt32Max ? value : value + 1; }

}  // namespace

void CycleLedger::Reset() {
  stats_.Reset();
  sendTicks_.clear();
  counted_.clear();
  reference_ = 0;
  haveReference_ = false;
  timings_.frames.clear();
  timings_.startNs = 0;
  timings_.startWallNs = 0;
  spans_.clear();
}

void CycleLedger::Begin(int64_t startNs, int64_t startWallNs, int64_t intervalNs,
                        int32_t expectedFrames) {
  timings_.startNs = startNs;
  timings_.startWallNs = startWallNs;
  timings_.intervalNs = intervalNs;
  // One allocation for the whole cycle rather than a doubling that could reach twice its size.
  if (expectedFrames > 0) {
    const auto frames = static_cast<std::size_t>(expectedFrames);
    timings_.frames.reserve(frames);
    sendTicks_.reserve(frames);
    counted_.reserve(frames);
  }
}

uint32_t CycleLedger::FrameSent(uint32_t sendTick, int64_t sendNs) {
  const auto sequence = static_cast<uint32_t>(sendTicks_.size());
  sendTicks_.push_back(sendTick);
  counted_.push_back(false);
  timings_.frames.push_back(FrameTiming{sendNs, FrameTiming::kNotReceived});
  stats_.sent = Increment(stats_.sent);
  return sequence;
}

CycleLedger::Echo CycleLedger::CountEcho(uint32_t sequence, uint32_t sendTick,
                                         uint32_t arrivalTick, int64_t arrivalNs) {
  // Modulo 2^32, read as a signed number of milliseconds. The send tick is the frame's
  // own, so the round trip cannot be negative unless the phone invented the tick.
  const auto rtt = static_cast<int32_t>(arrivalTick - sendTick);
  if (sequence >= sendTicks_.size() || sendTicks_[sequence] != sendTick || counted_[sequence] ||
      rtt < 0) {
    stats_.strayEchoes = Increment(stats_.strayEchoes);
    return Echo::kStray;
  }
  counted_[sequence] = true;
  timings_.frames[sequence].arrivalNs = arrivalNs;
  const int32_t interruptionsBefore = stats_.interruptions;
  const int32_t windowStart = stats_.windowStart;
  const bool inOrder = stats_.CountEcho(sequence, rtt, reference_, !haveReference_);
  if (inOrder) {
    NoteSpan(interruptionsBefore, windowStart, sequence);
    reference_ = sequence;
    haveReference_ = true;
  }
  return inOrder ? Echo::kInOrder : Echo::kLate;
}

void CycleLedger::NoteSpan(int32_t interruptionsBefore, int32_t windowStart, uint32_t closing) {
  const int32_t counted = stats_.interruptions - interruptionsBefore;
  if (counted <= 0) return;
  InterruptionSpan span;
  span.count = counted;
  const auto from = static_cast<uint32_t>(std::max(windowStart, 0));
  const auto to = std::min<std::size_t>(closing, counted_.size());
  bool found = false;
  // The frames of the span whose echo has not been counted: at least ten, in 50 or more.
  for (std::size_t s = from; s < to; ++s) {
    if (counted_[s]) continue;
    if (!found) {
      span.firstSequence = static_cast<uint32_t>(s);
      found = true;
    }
    span.lost = Increment(span.lost);
  }
  span.timeWallNs = timings_.WallTimeNs(span.firstSequence);
  spans_.push_back(span);
}

CycleTimings CycleLedger::Timings(int64_t sentBeforeNs) const {
  CycleTimings copy;
  copy.startNs = timings_.startNs;
  copy.startWallNs = timings_.startWallNs;
  copy.intervalNs = timings_.intervalNs;
  copy.firstSequence = timings_.firstSequence;
  // Send instants only grow within a cycle: the frames still too young are the last few.
  std::size_t count = timings_.frames.size();
  while (count > 0 && timings_.frames[count - 1].sendNs > sentBeforeNs) --count;
  copy.frames.assign(timings_.frames.begin(),
                     timings_.frames.begin() + static_cast<std::ptrdiff_t>(count));
  return copy;
}

void CycleLedger::ReleaseFrames() {
  // clear() would keep the capacity: only a swap with empty tables gives the memory back.
  std::vector<uint32_t>().swap(sendTicks_);
  std::vector<bool>().swap(counted_);
  std::vector<FrameTiming>().swap(timings_.frames);
}

std::size_t CycleLedger::FrameTableBytes() const {
  return sendTicks_.capacity() * sizeof(uint32_t) + counted_.capacity() / 8 +
         timings_.frames.capacity() * sizeof(FrameTiming);
}

CycleTimings CycleLedger::TakeTimings() {
  CycleTimings taken = std::move(timings_);
  timings_ = CycleTimings{};
  timings_.intervalNs = taken.intervalNs;
  return taken;
}

void CycleLedger::CountUnanswered(uint32_t nowTick, int32_t graceMs) {
  // Send ticks only grow within a cycle: the frames still inside the grace are the last
  // few, so count back from the end. A frame sent exactly graceMs ago is still inside.
  std::size_t due = sendTicks_.size();
  while (due > 0 && static_cast<int32_t>(nowTick - sendTicks_[due - 1]) <= graceMs) --due;
  const auto next = static_cast<uint32_t>(due);
  if (next <= (haveReference_ ? reference_ + 1 : 0)) return;
  const int32_t interruptionsBefore = stats_.interruptions;
  const int32_t windowStart = stats_.windowStart;
  stats_.CountFinalGap(next, reference_, !haveReference_);
  NoteSpan(interruptionsBefore, windowStart, next);
  // The gap is counted: from here on its frames are behind the reference, so an echo of
  // one that still arrives gives its frame back as a late echo does.
  reference_ = next - 1;
  haveReference_ = true;
}

}  // namespace pathmon
