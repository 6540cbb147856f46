// SPDX-License-Identifier: Apache-2.0
// The voice figures of a cycle, computed from hand-made per-frame timings.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "looptest/VoiceQuality.h"

namespace pathmon {
namespace {

constexpr int64_t kMs = 1'000'000;
constexpr int64_t kIntervalNs = 20 * kMs;
constexpr int64_t kStartNs = 5'000 * kMs;

// Round trip of frame `sequence` in ns, or nullopt when its echo never came.
using RttOf = std::function<std::optional<int64_t>(int sequence)>;

// Frames sent exactly on schedule.
CycleTimings Cycle(int frames, const RttOf& rtt) {
  CycleTimings c;
  c.startNs = kStartNs;
  c.intervalNs = kIntervalNs;
  for (int i = 0; i < frames; ++i) {
    FrameTiming f;
    f.sendNs = kStartNs + i * kIntervalNs;
    if (const auto r = rtt(i)) f.arrivalNs = f.sendNs + *r;
    c.frames.push_back(f);
  }
  return c;
}

RttOf Constant(int64_t rttNs, std::vector<std::pair<int, int>> lost = {}) {
  return [rttNs, lost](int s) -> std::optional<int64_t> {
    for (const auto& [first, last] : lost) {
      if (s >= first && s <= last) return std::nullopt;
    }
    return rttNs;
  };
}

// Echoes alternately 1 ms early and 1 ms late around a fixed round trip.
RttOf Alternating(int64_t aroundNs, std::vector<std::pair<int, int>> lost = {}) {
  const RttOf base = Constant(aroundNs, std::move(lost));
  return [base](int s) -> std::optional<int64_t> {
    const auto r = base(s);
    if (!r) return r;
    return *r + (s % 2 == 0 ? -kMs : kMs);
  };
}

struct Case {
  std::string name;
  int frames = 0;
  RttOf rtt = nullptr;
  std::optional<double> r = std::nullopt;
  std::optional<double> mos = std::nullopt;
  double mosTolerance = 5e-5;
  std::optional<std::pair<double, double>> pq = std::nullopt;
  std::optional<double> jitterMs = std::nullopt;
  std::optional<int> lost = std::nullopt;
  std::optional<std::size_t> windows = std::nullopt;
  std::optional<double> worstWindowMos = std::nullopt;
  std::optional<int> poorWindows = std::nullopt;
};

TEST(VoiceQuality, ReferenceCycles) {
  const std::vector<Case> cases = {
      {.name = "clean, instant echoes: only the 20 ms of packetisation",
       .frames = 3000,
       .rtt = Constant(0),
       .r = 92.72,
       .mos = 4.3998},
      {.name = "two bursts of loss give the transition chances",
       .frames = 2968,
       .rtt = Constant(10 * kMs, {{100, 111}, {300, 304}}),
       .pq = std::pair{2.0 / 2950, 2.0 / 17},
       .lost = 17},
      // "Jitter 2 ms throughout": echoes alternately 1 ms early and late around 40 ms, so the
      // mean stays 40 ms (75 early and 75 late ones are lost) and J = 2 ms after its first
      // dozens of echoes.
      {.name = "one 3-second outage in a 5-minute cycle",
       .frames = 15000,
       .rtt = Alternating(40 * kMs, {{1000, 1149}}),
       .mos = 4.297,
       .mosTolerance = 5e-4,
       .jitterMs = 2.0,
       .lost = 150,
       .windows = 30,
       .worstWindowMos = 1.0,
       .poorWindows = 1},
      {.name = "slow path: delay impairment alone",
       .frames = 3000,
       .rtt = Constant(180 * kMs),
       .r = 93.2 - 0.024 * 110},
      {.name = "echoes alternating around a fixed delay",
       .frames = 1000,
       .rtt = Alternating(50 * kMs),
       .jitterMs = 2.0},
      {.name = "a last window of 49 frames is not scored",
       .frames = 549,
       .rtt = Constant(kMs),
       .windows = 1},
      {.name = "a last window of 50 frames is scored",
       .frames = 550,
       .rtt = Constant(kMs),
       .windows = 2},
      {.name = "an arrival before the send is no echo of that frame",
       .frames = 100,
       .rtt = [](int s) -> std::optional<int64_t> { return s == 10 ? -1 : kMs; },
       .lost = 1},
      // The E-model alone would give R = 17 at 100 % loss (BurstR = 1 as p + q = 0), above a
      // window that lost 30 % in one burst.
      {.name = "nothing heard scores the lowest",
       .frames = 600,
       .rtt = [](int) { return std::nullopt; },
       .r = 0,
       .mos = 1,
       .windows = 2,
       .worstWindowMos = 1,
       .poorWindows = 2},
      {.name = "no frame at all", .frames = 0, .rtt = Constant(0), .r = 0, .mos = 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const VoiceQuality v = AssessCycle(Cycle(c.frames, c.rtt));
    if (c.r) { EXPECT_NEAR(v.score.rFactor, *c.r, 1e-9); }
    if (c.mos) { EXPECT_NEAR(v.score.mos, *c.mos, c.mosTolerance); }
    if (c.pq) {
      EXPECT_DOUBLE_EQ(v.loss.p, c.pq->first);
      EXPECT_DOUBLE_EQ(v.loss.q, c.pq->second);
      EXPECT_DOUBLE_EQ(v.loss.burstR, 1 / (c.pq->first + c.pq->second));
    }
    if (c.jitterMs) { EXPECT_NEAR(v.jitterUs / 1000, *c.jitterMs, 1e-9); }
    if (c.lost) { EXPECT_EQ(v.loss.lost, *c.lost); }
    if (c.windows) { EXPECT_EQ(v.windows.size(), *c.windows); }
    if (c.worstWindowMos) { EXPECT_NEAR(v.worstWindowMos, *c.worstWindowMos, 5e-3); }
    if (c.poorWindows) { EXPECT_EQ(v.poorWindows, *c.poorWindows); }
  }
}

TEST(VoiceQuality, WindowsScoreTheirOwnFrames) {
  // The outage cycle: frame 999 is the last of window 1 and followed by loss, which belongs to
  // window 2 alone.
  const VoiceQuality v = AssessCycle(Cycle(15000, Alternating(40 * kMs, {{1000, 1149}})));
  ASSERT_EQ(v.windows.size(), 30u);
  const WindowQuality& before = v.windows[1];
  EXPECT_EQ(before.firstSequence, 500u);
  EXPECT_EQ(before.loss.lost, 0);
  EXPECT_EQ(before.loss.p, 0);
  const WindowQuality& outage = v.windows[2];
  EXPECT_EQ(outage.firstSequence, 1000u);
  EXPECT_EQ(outage.frames, 500);
  EXPECT_EQ(outage.loss.lost, 150);
  EXPECT_DOUBLE_EQ(outage.loss.q, 1.0 / 150);
  EXPECT_DOUBLE_EQ(outage.loss.burstR, 150);
  EXPECT_DOUBLE_EQ(outage.meanRttUs, 40'000);
  EXPECT_EQ(outage.score.rFactor, 0);
  // The cycle as a whole: Ppl = 1 %, p = 1/14849, q = 1/150.
  EXPECT_DOUBLE_EQ(v.loss.lossPercent, 1.0);
  EXPECT_DOUBLE_EQ(v.loss.p, 1.0 / 14849);
  EXPECT_NEAR(v.score.mouthToEarMs, 20 + 2 * 2 + 20, 1e-9);
}

TEST(VoiceQuality, WindowPercentilesAndTimesAreTheirOwn) {
  // Round trips rising 1 ms a frame: each window's ranks fall on its own frames alone.
  CycleTimings c = Cycle(1000, [](int s) -> std::optional<int64_t> { return (s + 1) * kMs; });
  c.startWallNs = 1'765'000'000 * 1'000'000'000LL;
  const VoiceQuality v = AssessCycle(c);
  ASSERT_EQ(v.windows.size(), 2u);
  const struct {
    double p50Ms, p95Ms;
    int64_t offsetNs;
  } expected[] = {{250, 475, 0}, {750, 975, 500 * kIntervalNs}};
  for (std::size_t w = 0; w < 2; ++w) {
    SCOPED_TRACE(w);
    EXPECT_DOUBLE_EQ(v.windows[w].p50Us, expected[w].p50Ms * 1000);
    EXPECT_DOUBLE_EQ(v.windows[w].p95Us, expected[w].p95Ms * 1000);
    EXPECT_EQ(v.windows[w].timeWallNs, c.startWallNs + expected[w].offsetNs);
  }
}

TEST(VoiceQuality, JitterFollowsArrivalOrder) {
  // Frame 2 overtakes frame 1: arrivals 10, 41 (frame 2), 45 (frame 1) ms.
  CycleTimings c = Cycle(3, Constant(0));
  const int64_t arrivalsMs[] = {10, 45, 41};
  for (int i = 0; i < 3; ++i) c.frames[i].arrivalNs = kStartNs + arrivalsMs[i] * kMs;
  // In arrival order D = (41 - 10) - (40 - 0) = -9, then (45 - 41) - (20 - 40) = 24.
  double j = 9.0 / 16;
  j += (24 - j) / 16;
  EXPECT_NEAR(AssessCycle(c).jitterUs, j * 1000, 1e-6);
}

TEST(VoiceQuality, PercentilesAreNearestRank) {
  struct Percentiles {
    int frames;
    double p50Ms, p95Ms, p99Ms;
  };
  // Round trip of frame s: s + 1 ms, so the value at rank k is k ms.
  for (const Percentiles& c : std::vector<Percentiles>{
           {100, 50, 95, 99},    // ranks 50, 95, 99
           {3, 2, 3, 3},         // ranks ceil(1.5) = 2, ceil(2.85) = 3, ceil(2.97) = 3
           {1, 1, 1, 1},         //
           {201, 101, 191, 199}  // ranks ceil(100.5), ceil(190.95), ceil(198.99)
       }) {
    SCOPED_TRACE(c.frames);
    const VoiceQuality v = AssessCycle(Cycle(c.frames, [](int s) { return (s + 1) * kMs; }));
    EXPECT_EQ(v.rtt.p50Us, c.p50Ms * 1000);
    EXPECT_EQ(v.rtt.p95Us, c.p95Ms * 1000);
    EXPECT_EQ(v.rtt.p99Us, c.p99Ms * 1000);
    EXPECT_EQ(v.rtt.minUs, 1000);
    EXPECT_EQ(v.rtt.maxUs, c.frames * 1000.0);
    EXPECT_DOUBLE_EQ(v.rtt.meanUs, (c.frames + 1) * 500.0);
  }
}

TEST(VoiceQuality, MosStaysWithinItsScale) {
  EXPECT_EQ(MosFromR(0), 1.0);
  EXPECT_EQ(MosFromR(100), 4.5);
  for (double r = 0; r <= 100; r += 0.5) {
    EXPECT_GE(MosFromR(r), 1.0) << r;  // the cubic alone dips to 0.99 near R = 3
    EXPECT_LE(MosFromR(r), 4.5) << r;
  }
  // Past 177.3 ms of mouth-to-ear delay the steeper term joins in.
  LossModel none;
  none.sent = 1;
  EXPECT_NEAR(ScoreVoice(400, 0, none).rFactor, 93.2 - (0.024 * 220 + 0.11 * (220 - 177.3)),
              1e-9);
}

TEST(VoiceQuality, SenderCheckFlagsALateOrSkippingHost) {
  struct Sender {
    std::string name;
    std::function<int64_t(int)> lateNs;  // lateness of frame i against slot i
    int skipEvery;                       // a slot is skipped before every Nth frame (0: none)
    int skipped;
    double p99Ms;
    bool hostLimited;
  };
  const std::vector<Sender> cases = {
      {"on time", [](int) { return 0; }, 0, 0, 0, false},
      {"1 % of frames 9 ms late stays under p99", [](int i) { return i % 100 == 0 ? 9 * kMs : 0; },
       0, 0, 0, false},
      {"2 % of frames 6 ms late", [](int i) { return i % 50 == 0 ? 6 * kMs : 0; }, 0, 0, 6, true},
      {"every frame 5 ms late is not over the limit", [](int) { return 5 * kMs; }, 0, 0, 5, false},
      // 10,000 frames: 50 skipped of 10,050 slots is under 0.5 %, 100 of 10,100 over it.
      {"0.5 % of slots skipped", [](int) { return 0; }, 200, 50, 0, false},
      {"1 % of slots skipped", [](int) { return 0; }, 100, 100, 0, true},
  };
  for (const Sender& s : cases) {
    SCOPED_TRACE(s.name);
    CycleTimings c = Cycle(10000, Constant(kMs));
    int64_t slot = 0;
    for (int i = 0; i < 10000; ++i, ++slot) {
      if (s.skipEvery != 0 && i % s.skipEvery == s.skipEvery - 1) ++slot;
      c.frames[i].sendNs = kStartNs + slot * kIntervalNs + s.lateNs(i);
      c.frames[i].arrivalNs = c.frames[i].sendNs + kMs;
    }
    const SenderCheck check = AssessCycle(c).sender;
    EXPECT_EQ(check.skippedSlots, s.skipped);
    EXPECT_EQ(check.slotCount, 10000 + s.skipped);
    EXPECT_DOUBLE_EQ(check.latenessP99Us, s.p99Ms * 1000);
    EXPECT_EQ(check.hostLimited, s.hostLimited);
  }
}

TEST(VoiceQuality, WallTimesLabelFramesFromTheirSendInstant) {
  CycleTimings c = Cycle(10, Constant(kMs));
  c.startWallNs = 1'700'000'000'000'000'000;
  c.firstSequence = 15000;
  c.frames[3].sendNs += 7 * kMs;  // left 7 ms late
  EXPECT_EQ(c.WallTimeNs(15003), c.startWallNs + 3 * kIntervalNs + 7 * kMs);
  EXPECT_EQ(c.WallTimeNs(15000), c.startWallNs);
}

}  // namespace
}  // namespace pathmon
