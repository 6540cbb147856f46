// SPDX-License-Identifier: Apache-2.0
#pragma once
// The figures of one cycle of a loop test, as the history line and the main window's columns
// give them.

#include <cstddef>
#include <cstdint>

namespace pathmon {

// The figures of one cycle. A value type: tests feed it sequence numbers and round-trip
// times directly.
struct TestStatistics {
  int32_t lastRtt = 0;        // round-trip time of the latest counted echo, ms
  int64_t rttSum = 0;         // sum of the cycle's round-trip times; 64 bits, so a phone
                              // that echoes wild send ticks cannot overflow it
  int32_t avgRtt = 0;         // rttSum / received, truncated
  int32_t lost = 0;           // frames missing in the cycle
  int32_t delayed = 0;        // echoes with a round-trip time over 400 ms
  int32_t maxRtt = 0;         // largest round-trip time in the cycle
  int32_t maxBurstLost = 0;   // most frames missing in one gap
  int32_t received = 0;       // echoes counted in the cycle
  int32_t sent = 0;           // frames sent in the cycle; the next frame's sequence number
  int32_t interruptions = 0;  // loss windows of 50 frames with 10 or more missing
  int32_t windowStart = 0;    // sequence number that opened the current loss window
  int32_t windowLoss = 0;     // frames missing in the current loss window
  int32_t strayEchoes = 0;    // datagrams that looked like echoes but changed no figure: a
                              // sequence number not sent in the cycle, a send tick other
                              // than the frame's, or an echo already counted

  static constexpr int32_t kDelayedAboveMs = 400;
  static constexpr int32_t kWindowFrames = 50;
  static constexpr int32_t kInterruptionLoss = 10;

  void Reset() { *this = TestStatistics{}; }

  // Counts one echo. referenceSequence is the sequence number of the last in-order echo;
  // it is ignored for the first echo of a cycle (received == 0). Returns true when the
  // echo is in order, so that it becomes the new reference.
  bool CountEcho(uint32_t sequence, int32_t rtt, uint32_t referenceSequence);
  // The same, told whether a reference exists (first: there is none yet).
  bool CountEcho(uint32_t sequence, int32_t rtt, uint32_t referenceSequence, bool first);
  // Counts the frames after the reference (from 0 when there is none) up to, not
  // including, nextSequence as missing: one gap, into lost, maxBurstLost and the loss
  // windows, as if an echo of nextSequence had closed it.
  void CountFinalGap(uint32_t nextSequence, uint32_t referenceSequence, bool noReference);

 private:
  // Adds gap to the open window; an in-order sequence number 50 or more past its start
  // closes it.
  void AdvanceWindow(uint32_t sequence, uint32_t gap);
};

// "INTERRUPTIONS:%3d MAXBURSTLOST:%5d SEND:%5d LOST:%5d DELAYED:%5d AVGRTT:%5d MAXRTT:%5d";
// returns the characters written (cut to size - 1).
int FormatResult(const TestStatistics& stats, char* text, std::size_t size);

}  // namespace pathmon
