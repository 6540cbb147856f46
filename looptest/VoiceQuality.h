// SPDX-License-Identifier: Apache-2.0
#pragma once
// What a caller would hear over the tested path: round-trip percentiles, RFC 3550 jitter, a
// two-state loss model and the ITU-T G.107 E-model score of one cycle and of each 10 seconds
// of it, and a check that the sender kept its schedule. Pure calculation on a cycle's per-frame
// timings: no sockets, threads or clocks. docs/voice-quality.md explains every figure.

#include <cstdint>
#include <limits>
#include <span>
#include <vector>

namespace pathmon {

// A wall-clock instant in ns since 1970 as whole seconds, rounded to the nearest: what the
// figures' labels show.
inline int64_t RoundedWallSeconds(int64_t wallNs) {
  return (wallNs >= 0 ? wallNs + 500'000'000 : wallNs - 500'000'000) / 1'000'000'000;
}

// One frame of a cycle: when it left and when its echo came back, both on the steady clock.
// A frame whose echo did not come back by the cycle's end keeps kNotReceived; an arrival
// before the send instant cannot be this frame's echo and counts as not received. Of several
// echoes of one frame, the first is recorded.
struct FrameTiming {
  static constexpr int64_t kNotReceived = std::numeric_limits<int64_t>::min();
  int64_t sendNs = 0;
  int64_t arrivalNs = kNotReceived;

  bool Received() const { return arrivalNs != kNotReceived && arrivalNs >= sendNs; }
};

// A cycle's frames in sequence order, frames[i] being sequence number firstSequence + i.
// Memory: 16 bytes a frame, 240,000 bytes for the 15,000 frames of a 5-minute cycle at 20 ms.
// The wall clock only labels: a frame's wall time is derived from its steady send instant, so
// no third value per frame is kept.
struct CycleTimings {
  int64_t startNs = 0;                // steady instant the cycle's first slot was due
  int64_t startWallNs = 0;            // the wall clock (ns since 1970) at startNs
  int64_t intervalNs = 20'000'000;    // the sender's schedule: slot k is due at startNs + k * this
  uint32_t firstSequence = 0;         // sequence number of frames[0]
  std::vector<FrameTiming> frames;

  // The wall-clock time (ns since 1970) frame `sequence` left; for labels only.
  int64_t WallTimeNs(uint32_t sequence) const;
};

// Round trips of the echoes, µs. Percentiles by nearest rank: the value at rank
// ceil(p/100 * N) of the ascending round trips. All 0 without an echo.
struct RttFigures {
  double minUs = 0, meanUs = 0, p50Us = 0, p95Us = 0, p99Us = 0, maxUs = 0;
};

// The two-state (Gilbert) loss model over frames in sequence order, as in ITU-T G.113
// Appendix I. p: chance that a received frame is followed by a lost one; q: chance that a
// lost frame is followed by a received one. BurstR: how much burstier the loss is than random
// loss (1: random, above 1: bursty).
struct LossModel {
  int32_t sent = 0;
  int32_t lost = 0;
  double lossPercent = 0;  // Ppl, 100 * lost / sent
  double p = 0;            // 0 when no received frame is followed by another frame
  double q = 0;            // 0 when no lost frame is followed by another frame
  double burstR = 1;       // 1 / (p + q), or 1 when p + q = 0
};

// The simplified E-model's result.
struct VoiceScore {
  double mouthToEarMs = 0;  // Ta
  double rFactor = 0;       // R, 0 to 100
  double mos = 1;           // 1 to 4.5
};

// One run of kWindowFrames consecutive sequence numbers (10 seconds at 20 ms).
struct WindowQuality {
  uint32_t firstSequence = 0;
  int32_t frames = 0;
  int64_t timeWallNs = 0;  // wall-clock time (ns since 1970) the window's first frame left
  double meanRttUs = 0;    // over the window's echoes
  double p50Us = 0;        // round-trip percentiles of the window's echoes, by nearest rank;
  double p95Us = 0;        // 0 without an echo
  double jitterUs = 0;   // the cycle's jitter estimate right after the window's last echo arrived
  LossModel loss;        // over the window's frames alone
  VoiceScore score;
};

// How well the sender kept its schedule. The schedule is the grid of slots startNs + k *
// intervalNs; a sender that falls behind skips whole slots and stays on the grid. Each frame
// is taken to be for the latest slot that had begun when it left, and never for a slot before
// or at the previous frame's, so a frame's lateness is its send instant minus its slot's due
// instant, and every slot up to the last frame's that carried no frame was skipped.
struct SenderCheck {
  double latenessP99Us = 0;  // nearest rank
  int32_t slotCount = 0;     // slots up to and including the last frame's
  int32_t skippedSlots = 0;
  bool hostLimited = false;  // lateness p99 over 5 ms, or over 0.5 % of the slots skipped:
                             // the cycle's figures may show the host's faults as the path's
};

// One span of missing frames that counted as interruptions. The counting rule belongs to the
// loop test's statistics; this is the entry it records.
struct InterruptionSpan {
  int64_t timeWallNs = 0;      // wall-clock time the span's first missing frame left
  uint32_t firstSequence = 0;  // that frame's sequence number
  int32_t lost = 0;            // frames lost in the span
  int32_t count = 0;           // interruptions the span counted
  int64_t lastTimeWallNs = 0;  // wall-clock time its last missing frame left
};

// The voice figures of one cycle.
struct VoiceQuality {
  RttFigures rtt;
  double jitterUs = 0;  // RFC 3550 estimate after the cycle's last echo
  LossModel loss;
  VoiceScore score;
  std::vector<WindowQuality> windows;
  double worstWindowMos = 1;  // the lowest window MOS; the cycle's own without any window
  int32_t poorWindows = 0;    // windows whose MOS is below kPoorMos
  SenderCheck sender;
  std::vector<InterruptionSpan> interruptions;  // left empty here: the loop test fills it
  int64_t intervalNs = 20'000'000;  // the cycle's CycleTimings::intervalNs: a frame's time
};

inline constexpr int32_t kWindowFrames = 500;     // 10 seconds of 20 ms frames
inline constexpr int32_t kMinWindowFrames = 50;   // a shorter last window is not scored
inline constexpr double kPoorMos = 3.6;
inline constexpr int64_t kLatenessLimitNs = 5'000'000;
inline constexpr int32_t kSkippedSlotsPerMille = 5;  // 0.5 %

// Every figure of a cycle. Its working arrays (the round trips, the echoes in arrival
// order, the sender's lateness) exist one at a time, at most 8 bytes a frame (120,000 bytes at
// 15,000 frames), and are freed on return; the windows' percentiles reuse one array of at most
// kWindowFrames round trips, selected rather than sorted.
VoiceQuality AssessCycle(const CycleTimings& cycle);

// The loss model of a run of frames.
LossModel MeasureLoss(std::span<const FrameTiming> frames);

// The E-model score for G.711 with packet-loss concealment. A run in which every frame was
// lost (or with no frame at all) scores R = 0: nothing was heard.
VoiceScore ScoreVoice(double meanRttMs, double jitterMs, const LossModel& loss);

// G.107's mapping from R to MOS, held within 1 to 4.5.
double MosFromR(double r);

// The sender's lateness and skipped slots.
SenderCheck CheckSender(const CycleTimings& cycle);

}  // namespace pathmon
