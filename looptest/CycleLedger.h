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

// The echo accounting of one cycle: every frame the cycle sent, by sequence number, with its
// send tick, whether it was echoed, and its send and arrival instants on the steady clock
// (ns), from which the voice figures are assessed. Only an echo of a frame this cycle sent,
// carrying that frame's send tick, counts, and only once; so a phone that repeats echoes,
// invents sequence numbers, or an echo of the previous cycle that arrives late, cannot change
// the figures. A value type: tests drive it with the ticks and instants they choose.
//
// The loss figures follow from which frames were echoed, in sequence order, and nothing else
// (the order in which echoes arrived does not matter):
// - a frame is lost when it was sent before the due instant (more than the grace ago) and not
//   echoed; once the cycle has closed, every frame not echoed is lost, so that
//   sent = received + lost;
// - maxBurstLost is the longest run of lost frames, the frames before the cycle's first echo
//   and after its last one included;
// - interruptions: a loss window opens at the cycle's first frame and again at the echoed
//   frame that closed the previous window; the first echoed frame 50 or more sequence numbers
//   past its start closes it, and so does the end of the frames counted (the cycle's close,
//   or the due instant while it runs). A window that closes with 10 or more lost frames
//   counts one interruption, or, when the run of lost frames that closes it is 50 frames or
//   longer, one for every whole 50 frames of that run (179 lost frames in a row count 3).
//   Each window that counted is one span of the timeline.
class CycleLedger {
 public:
  // kInOrder: the highest sequence number echoed so far (the reference of the last in-order
  // echo); kLate: an echo of an earlier frame; kStray: changed no figure.
  enum class Echo { kInOrder, kLate, kStray };

  void Reset();
  // The cycle's schedule: its first slot was due at startNs (steady clock), which was
  // startWallNs on the wall clock; later slots follow every intervalNs. Call after Reset,
  // before the cycle's first frame.
  void Begin(int64_t startNs, int64_t startWallNs, int64_t intervalNs, int32_t expectedFrames);
  // Notes the frame about to be sent and returns its sequence number; sent += 1. Send
  // instants never decrease.
  uint32_t FrameSent(uint32_t sendTick, int64_t sendNs = 0);
  // arrivalNs: the steady instant the datagram arrived; an instant before the frame's send
  // (a coarser clock) is taken as its send instant, so that the voice figures count the
  // frame as echoed exactly when these figures do.
  Echo CountEcho(uint32_t sequence, uint32_t sendTick, uint32_t arrivalTick,
                 int64_t arrivalNs = 0);

  // The figures so far, with every frame sent before dueNs and not echoed counted lost, and
  // the frames sent since then (still inside the grace) in sent only. Counts those lost
  // frames into lostCounted once. After Close, the closed cycle's figures.
  TestStatistics Figures(int64_t dueNs = std::numeric_limits<int64_t>::max());
  // Ends the cycle's counting: every frame not echoed by now is lost. Later echoes are stray.
  void Close();
  bool Closed() const { return closed_; }

  // The spans that counted interruptions among the frames sent before dueNs, in order; the
  // last may be still open (closed only by the end of the frames counted). After Close, the
  // cycle's.
  std::vector<InterruptionSpan> Interruptions(
      int64_t dueNs = std::numeric_limits<int64_t>::max()) const;
  // The spans closed (by an echo after them, or by Close) that no earlier call returned.
  std::vector<InterruptionSpan> TakeClosedSpans(
      int64_t dueNs = std::numeric_limits<int64_t>::max());

  // The frames sent before sentBeforeNs (all by default) with their instants.
  CycleTimings Timings(int64_t sentBeforeNs = std::numeric_limits<int64_t>::max()) const;
  // Every frame's instants, leaving the ledger without them (a cycle's end).
  CycleTimings TakeTimings();
  // Frees the per-frame tables of a closed cycle (an ended test's): the figures and the
  // spans stay, Timings gives no frames. The next Begin reserves again.
  void ReleaseFrames();
  // Bytes the per-frame tables hold, reserved or used.
  std::size_t FrameTableBytes() const;

 private:
  // A window that counted, by sequence number.
  struct Span {
    uint32_t first = 0;  // first and last lost frame of the window
    uint32_t last = 0;
    int32_t lost = 0;
    int32_t count = 0;
    bool open = false;  // closed by the end of the frames counted while the cycle runs
  };
  struct Loss {
    int32_t lost = 0, maxBurstLost = 0, interruptions = 0, windowStart = 0, windowLoss = 0;
    std::vector<Span> spans;
  };
  // The loss figures of the first `frames` frames; closed: the cycle has closed, so no span
  // is open.
  Loss CountLoss(uint32_t frames, bool closed) const;
  uint32_t DueFrames(int64_t dueNs) const;
  bool Echoed(uint32_t sequence) const;
  // The first frame at or after from, before end, that was echoed (wanted) or not; end if
  // none.
  uint32_t Next(uint32_t from, uint32_t end, bool echoed) const;
  // Counts the frames below `frames` not yet counted into lostCounted.
  void CountLostUpTo(uint32_t frames);
  InterruptionSpan Entry(const Span& span) const;

  TestStatistics stats_;                // the echoes' figures; all of them once closed
  std::vector<uint32_t> sendTicks_;     // by sequence number
  std::vector<uint64_t> echoed_;        // by sequence number, 64 to a word
  uint32_t highestEchoed_ = 0;          // the reference of the last in-order echo
  bool anyEchoed_ = false;
  uint32_t countedUpTo_ = 0;            // frames below this are in lostCounted if unechoed
  uint32_t spansTakenUpTo_ = 0;         // TakeClosedSpans returned the spans before this
  bool closed_ = false;
  CycleTimings timings_;                // frames by sequence number; 16 bytes each
  std::vector<Span> finalSpans_;          // the closed cycle's spans ...
  std::vector<InterruptionSpan> spans_;   // ... and their timeline entries
};

}  // namespace pathmon
