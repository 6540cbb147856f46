// SPDX-License-Identifier: Apache-2.0
#pragma once
// The per-frame accounting of one cycle of a loop test.

#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "looptest/TestStatistics.h"
#include "looptest/VoiceQuality.h"

namespace pathmon {

// The echo accounting of one cycle: the send tick of every frame the cycle sent, by
// sequence number, which of them were echoed, and the figures; beside them each frame's
// send and arrival instants on the steady clock (ns) and the spans that counted as
// interruptions, from which the voice figures are assessed. Only an echo of a frame
// this cycle sent, carrying that frame's send tick, counts, and only once; so a phone that
// repeats echoes, invents sequence numbers, or an echo of the previous cycle that arrives
// late, cannot change the figures. A value type: tests drive it with ticks they choose.
class CycleLedger {
 public:
  enum class Echo { kInOrder, kLate, kStray };

  void Reset();
  // The cycle's schedule: its first slot was due at startNs (steady clock), which was
  // startWallNs on the wall clock; later slots follow every intervalNs. Call after Reset,
  // before the cycle's first frame.
  void Begin(int64_t startNs, int64_t startWallNs, int64_t intervalNs, int32_t expectedFrames);
  // Notes the frame about to be sent and returns its sequence number; sent += 1.
  uint32_t FrameSent(uint32_t sendTick, int64_t sendNs = 0);
  // arrivalNs: the steady instant the datagram was read; kept for a counted echo only.
  Echo CountEcho(uint32_t sequence, uint32_t sendTick, uint32_t arrivalTick,
                 int64_t arrivalNs = 0);
  // The frames sent at least graceMs before nowTick and still not echoed after the last
  // in-order echo count as lost, as one final gap (see TestStatistics::CountFinalGap). An
  // echo of one of them that still arrives counts as late.
  void CountUnanswered(uint32_t nowTick, int32_t graceMs);
  const TestStatistics& Figures() const { return stats_; }

  // The frames sent up to sentBeforeNs (all by default) with their instants.
  CycleTimings Timings(int64_t sentBeforeNs = std::numeric_limits<int64_t>::max()) const;
  // Every frame's instants, leaving the ledger without them (a cycle's end).
  CycleTimings TakeTimings();
  // Frees the per-frame tables (an ended test's): the figures and the interruptions stay,
  // Timings gives no frames. The next Begin reserves again.
  void ReleaseFrames();
  // Bytes the per-frame tables hold, reserved or used.
  std::size_t FrameTableBytes() const;
  // The spans counted as interruptions so far, in the order they closed.
  const std::vector<InterruptionSpan>& Interruptions() const { return spans_; }

 private:
  // Records the span that the last count closed, if it counted interruptions: from the
  // window's start up to, not including, closing.
  void NoteSpan(int32_t interruptionsBefore, int32_t windowStart, uint32_t closing);

  TestStatistics stats_;
  std::vector<uint32_t> sendTicks_;  // by sequence number
  std::vector<bool> counted_;        // by sequence number: its echo was counted
  uint32_t reference_ = 0;           // the last in-order echo's sequence number
  bool haveReference_ = false;
  CycleTimings timings_;                 // frames by sequence number; 16 bytes each
  std::vector<InterruptionSpan> spans_;
};

}  // namespace pathmon
