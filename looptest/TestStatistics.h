// SPDX-License-Identifier: Apache-2.0
#pragma once
// The figures of one cycle of a loop test, as the history line and the main window's columns
// give them.

#include <cstddef>
#include <cstdint>

namespace pathmon {

// The figures of one cycle, a value: the cycle's ledger (CycleLedger) computes them from
// which frames were sent and which were echoed. Once a cycle has closed,
// sent = received + lost.
struct TestStatistics {
  int32_t lastRtt = 0;        // round-trip time of the latest counted echo, ms
  int64_t rttSum = 0;         // sum of the cycle's round-trip times; 64 bits, so a phone
                              // that echoes wild send ticks cannot overflow it
  int32_t avgRtt = 0;         // rttSum / received, truncated
  int32_t lost = 0;           // frames sent more than the grace ago and never echoed
  int32_t delayed = 0;        // echoes with a round-trip time over 400 ms
  int32_t maxRtt = 0;         // largest round-trip time in the cycle
  int32_t maxBurstLost = 0;   // most frames lost in one run
  int32_t received = 0;       // frames echoed in the cycle, each once
  int32_t sent = 0;           // frames sent in the cycle; the next frame's sequence number
  int32_t interruptions = 0;  // see CycleLedger: 10 or more lost within a window of 50, or
                              // one for every 50 frames of a longer run
  int32_t windowStart = 0;    // sequence number that opened the current loss window
  int32_t windowLoss = 0;     // frames lost in the current loss window
  int32_t strayEchoes = 0;    // datagrams that looked like echoes but changed no figure: a
                              // sequence number not sent in the cycle, a send tick other
                              // than the frame's, or an echo already counted
  // For counters that never go down: frames counted lost while the cycle ran (each once,
  // when it had been unanswered for the grace), and echoes that came for such a frame
  // afterwards. Once the cycle has closed, lostCounted - lateEchoes = lost.
  int32_t lostCounted = 0;
  int32_t lateEchoes = 0;

  static constexpr int32_t kDelayedAboveMs = 400;
  static constexpr int32_t kWindowFrames = 50;
  static constexpr int32_t kInterruptionLoss = 10;

  void Reset() { *this = TestStatistics{}; }
};

// "INTERRUPTIONS:%3d MAXBURSTLOST:%5d SEND:%5d LOST:%5d DELAYED:%5d AVGRTT:%5d MAXRTT:%5d";
// returns the characters written (cut to size - 1).
int FormatResult(const TestStatistics& stats, char* text, std::size_t size);

}  // namespace pathmon
