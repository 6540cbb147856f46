// SPDX-License-Identifier: Apache-2.0
// A cycle's ledger, fed frames and echoes at the ticks and instants a case chooses.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <vector>

#include "looptest/CycleLedger.h"

namespace pathmon {
namespace {

constexpr int64_t kMs = 1'000'000;
constexpr int64_t kGraceNs = 200 * kMs;

// A cycle's ledger driven like the test loop: frames at 20 ms ticks, echoes that carry the
// frame's tick and come back 30 ms later unless a case says otherwise.
struct LedgerRig {
  static constexpr uint32_t kFirstTick = 0xFFFFF000u;  // the tick counter wraps mid-cycle
  static constexpr int64_t kWallNs = 1'796'740'000'000'000'000;  // the wall clock at the start
  CycleLedger ledger;
  std::vector<uint32_t> ticks;  // the cycle's frames
  uint32_t nextTick = kFirstTick;
  // The steady instant of a tick, ns: the ticks' own milliseconds since the first.
  static int64_t Ns(uint32_t tick) { return int64_t{tick - kFirstTick} * kMs; }
  void Send(int frames) {
    if (ticks.empty()) ledger.Begin(Ns(nextTick), kWallNs, 20 * kMs, frames);
    for (int i = 0; i < frames; ++i) {
      EXPECT_EQ(ledger.FrameSent(nextTick, Ns(nextTick)), ticks.size());
      ticks.push_back(nextTick);
      nextTick += 20;
    }
  }
  void NewCycle() {  // after the grace
    ledger.Reset();
    ticks.clear();
    nextTick += 200;
  }
  CycleLedger::Echo Echo(uint32_t sequence) {
    const uint32_t arrival = ticks.at(sequence) + 30;
    return ledger.CountEcho(sequence, ticks.at(sequence), arrival, Ns(arrival));
  }
  void Echoes(uint32_t from, uint32_t to) {  // inclusive
    for (uint32_t q = from; q <= to; ++q) Echo(q);
  }
  CycleLedger::Echo Stray(uint32_t sequence, uint32_t sendTick) {
    return ledger.CountEcho(sequence, sendTick, Now());
  }
  uint32_t Now() const { return ticks.back() + 20; }  // just after the last frame's interval
  TestStatistics Live() { return ledger.Figures(Ns(Now()) - kGraceNs); }  // within the grace
};

TEST(CycleLedger, EveryFailureOfThePathShowsInTheFigures) {
  struct Case {
    const char* name;
    std::function<void(LedgerRig&)> play;
    bool close;  // or read live, 20 ms after the last frame
    int32_t sent, received, lost, maxBurstLost, interruptions, strayEchoes;
  };
  const std::vector<Case> cases = {
      {"clean phone", [](LedgerRig& r) { r.Send(2981); r.Echoes(0, 2980); }, true,
       2981, 2981, 0, 0, 0, 0},
      // The run from 1000 on is one span of 1981 frames, closed by the cycle's end.
      {"dies after frame 999", [](LedgerRig& r) { r.Send(2981); r.Echoes(0, 999); }, true,
       2981, 1000, 1981, 1981, 39, 0},
      // Live, the last 10 frames (200 ms) may still be on their way.
      {"dies after frame 999, live", [](LedgerRig& r) { r.Send(2981); r.Echoes(0, 999); },
       false, 2981, 1000, 1971, 1971, 39, 0},
      {"the path comes up 5 s late", [](LedgerRig& r) { r.Send(3000); r.Echoes(250, 2999); },
       true, 3000, 2750, 250, 250, 5, 0},
      {"frame 0 dropped", [](LedgerRig& r) { r.Send(3000); r.Echoes(1, 2999); }, true,
       3000, 2999, 1, 1, 0, 0},
      {"53-second outage",
       [](LedgerRig& r) { r.Send(2981); r.Echoes(0, 249); r.Echoes(2900, 2980); }, true,
       2981, 331, 2650, 2650, 53, 0},
      // 2610 in a row count 52; the 48 after the last echo, closed by the end, count 1.
      {"a long run, then 48 lost at the end",
       [](LedgerRig& r) { r.Send(2700); r.Echoes(0, 40); r.Echo(2651); }, true,
       2700, 42, 2658, 2610, 53, 0},
      {"12-frame gap", [](LedgerRig& r) { r.Send(150); r.Echoes(0, 9); r.Echoes(22, 149); },
       true, 150, 138, 12, 12, 1, 0},
      {"9-frame gap", [](LedgerRig& r) { r.Send(150); r.Echoes(0, 9); r.Echoes(19, 149); },
       true, 150, 141, 9, 9, 0, 0},
      // 25 in every window of 50, the last one cut short by the cycle's end.
      {"odd frames dropped, even ones echoed twice",
       [](LedgerRig& r) {
         r.Send(2981);
         for (uint32_t q = 0; q <= 2980; q += 2) {
           r.Echo(q);
           EXPECT_EQ(r.Echo(q), CycleLedger::Echo::kStray);
         }
       },
       true, 2981, 1491, 1490, 1, 60, 1491},
      {"an extra echo numbered 0xFFFFFFF0",
       [](LedgerRig& r) {
         r.Send(2981);
         r.Echoes(0, 1500);
         EXPECT_EQ(r.Stray(0xFFFFFFF0u, r.ticks[5]), CycleLedger::Echo::kStray);
         r.Echoes(1501, 2980);
       },
       true, 2981, 2981, 0, 0, 0, 1},
      {"end flag on the first frame", [](LedgerRig& r) { r.Send(1); }, true, 1, 0, 1, 1, 0, 0},
      {"nothing echoed at all", [](LedgerRig& r) { r.Send(3000); }, true,
       3000, 0, 3000, 3000, 60, 0},
      // Echoes that overtake each other lose nothing; a late one is counted once.
      {"late echo and its repeat",
       [](LedgerRig& r) {
         r.Send(10);
         r.Echoes(0, 3);
         r.Echoes(6, 9);
         EXPECT_EQ(r.Echo(4), CycleLedger::Echo::kLate);
         EXPECT_EQ(r.Echo(4), CycleLedger::Echo::kStray);
       },
       true, 10, 9, 1, 1, 0, 1},
      // A send tick the frame did not carry gives no negative round trip: not counted.
      {"send tick in the future",
       [](LedgerRig& r) {
         r.Send(5);
         r.Echoes(0, 3);
         EXPECT_EQ(r.ledger.CountEcho(4, r.Now() + 299, r.Now()), CycleLedger::Echo::kStray);
         r.Echo(4);
       },
       true, 5, 5, 0, 0, 0, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LedgerRig r;
    c.play(r);
    if (c.close) r.ledger.Close();
    const TestStatistics s = c.close ? r.ledger.Figures() : r.Live();
    EXPECT_EQ(s.sent, c.sent);
    EXPECT_EQ(s.received, c.received);
    EXPECT_EQ(s.lost, c.lost);
    EXPECT_EQ(s.maxBurstLost, c.maxBurstLost);
    EXPECT_EQ(s.interruptions, c.interruptions);
    EXPECT_EQ(s.strayEchoes, c.strayEchoes);
    if (c.close) {
      EXPECT_EQ(s.sent, s.received + s.lost);
    }
    if (s.received > 0) {
      EXPECT_EQ(s.avgRtt, 30);
    }
  }
}

// Each span that counted as interruptions is one entry of the timeline: its first lost
// frame, when that frame and its last lost frame left, the frames lost in it and the
// interruptions it counted.
TEST(CycleLedger, TheInterruptionTimelineHasAnEntryForEverySpanThatCounted) {
  struct Span {
    uint32_t first, last;
    int32_t lost, count;
  };
  struct Case {
    const char* name;
    std::function<void(LedgerRig&)> play;
    std::vector<Span> spans;
  };
  const std::vector<Case> cases = {
      {"clean phone", [](LedgerRig& r) { r.Send(500); r.Echoes(0, 499); }, {}},
      {"12-frame gap", [](LedgerRig& r) { r.Send(150); r.Echoes(0, 9); r.Echoes(22, 149); },
       {{10, 21, 12, 1}}},
      // A late echo inside the span is no longer lost from it.
      {"gap with a late echo in it",
       [](LedgerRig& r) {
         r.Send(150);
         r.Echoes(0, 9);
         r.Echoes(23, 30);
         r.Echo(10);
         r.Echoes(31, 149);
       },
       {{11, 22, 12, 1}}},
      {"the path comes up 5 s late", [](LedgerRig& r) { r.Send(500); r.Echoes(250, 499); },
       {{0, 249, 250, 5}}},
      {"dies after frame 999", [](LedgerRig& r) { r.Send(2981); r.Echoes(0, 999); },
       {{1000, 2980, 1981, 39}}},
      // Five outages of 50 frames, wherever the windows happened to open: five spans.
      {"five outages of 50",
       [](LedgerRig& r) {
         r.Send(3000);
         for (uint32_t q = 0; q < 3000; ++q) {
           if (q < 501 || q % 500 == 0 || q % 500 > 50) r.Echo(q);
         }
       },
       {{501, 550, 50, 1}, {1001, 1050, 50, 1}, {1501, 1550, 50, 1}, {2001, 2050, 50, 1},
        {2501, 2550, 50, 1}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LedgerRig r;
    c.play(r);
    r.ledger.Close();
    const std::vector<InterruptionSpan> spans = r.ledger.Interruptions();
    ASSERT_EQ(spans.size(), c.spans.size());
    int32_t counted = 0;
    for (std::size_t i = 0; i < spans.size(); ++i) {
      EXPECT_EQ(spans[i].firstSequence, c.spans[i].first);
      EXPECT_EQ(spans[i].lost, c.spans[i].lost);
      EXPECT_EQ(spans[i].count, c.spans[i].count);
      EXPECT_EQ(spans[i].timeWallNs, LedgerRig::kWallNs + c.spans[i].first * 20 * kMs);
      EXPECT_EQ(spans[i].lastTimeWallNs, LedgerRig::kWallNs + c.spans[i].last * 20 * kMs);
      counted += spans[i].count;
    }
    EXPECT_EQ(counted, r.ledger.Figures().interruptions);
    // Each span is handed out once, for the span events.
    EXPECT_EQ(r.ledger.TakeClosedSpans().size(), spans.size());
    EXPECT_TRUE(r.ledger.TakeClosedSpans().empty());
  }
}

TEST(CycleLedger, AnEchoOfThePreviousCycleChangesNothing) {
  // The new cycle loses 150 frames in three bursts of 50. The old cycle's echoes of its
  // frames 14999 and 3 arrive once the new cycle has sent a few frames; neither was sent by
  // this cycle with that tick, so the figures are those of the same cycle without them.
  auto play = [](bool staleEchoes) {
    LedgerRig r;
    r.Send(15000);
    const uint32_t old14999 = r.ticks[14999];
    const uint32_t old3 = r.ticks[3];
    r.NewCycle();
    r.Send(6000);
    if (staleEchoes) {
      EXPECT_EQ(r.ledger.CountEcho(14999, old14999, r.ticks[2] + 5), CycleLedger::Echo::kStray);
      EXPECT_EQ(r.ledger.CountEcho(3, old3, r.ticks[4] + 5), CycleLedger::Echo::kStray);
    }
    for (uint32_t q = 0; q < 6000; ++q) {
      if ((q >= 1000 && q < 1050) || (q >= 3000 && q < 3050) || (q >= 5000 && q < 5050)) continue;
      r.Echo(q);
    }
    r.ledger.Close();
    return r.ledger.Figures();
  };
  const TestStatistics clean = play(false);
  const TestStatistics stale = play(true);
  EXPECT_EQ(clean.lost, 150);
  EXPECT_EQ(clean.maxBurstLost, 50);
  EXPECT_EQ(clean.interruptions, 3);
  EXPECT_EQ(stale.lost, clean.lost);
  EXPECT_EQ(stale.maxBurstLost, clean.maxBurstLost);
  EXPECT_EQ(stale.interruptions, clean.interruptions);
  EXPECT_EQ(stale.received, clean.received);
  EXPECT_EQ(stale.maxRtt, 30);
  EXPECT_EQ(stale.strayEchoes, 2);
}

// The ledger against a plain model of the same rules: the set of frames sent and the set
// echoed, walked frame by frame.
struct Model {
  int32_t lost = 0, maxBurstLost = 0, interruptions = 0;
  LossModel loss;

  Model(const std::vector<bool>& echoed, uint32_t frames) {
    int32_t run = 0, windowLoss = 0;
    uint32_t windowStart = 0;
    std::vector<FrameTiming> timings;
    for (uint32_t s = 0; s < frames; ++s) {
      timings.push_back({0, echoed[s] ? 1 : FrameTiming::kNotReceived});
      if (!echoed[s]) {
        ++lost;
        ++windowLoss;
        maxBurstLost = std::max(maxBurstLost, ++run);
        continue;
      }
      if (s - windowStart >= 50) {
        if (windowLoss >= 10) interruptions += std::max(1, run / 50);
        windowStart = s;
        windowLoss = 0;
      }
      run = 0;
    }
    if (windowLoss >= 10) interruptions += std::max(1, run / 50);
    loss = MeasureLoss(timings);
  }
};

// Random paths: runs of loss at the start, in the middle and at the end, echoes reordered by
// up to 5 frames, duplicated, carrying wild sequence numbers, or later than the grace. At
// random instants the running figures, and at the cycle's close every figure and the voice
// figures' loss model, must be the model's.
// path: which of the random paths, the same one on every run.
void PlayRandomPath(uint32_t path) {
  std::mt19937 random(path);
  const auto chance = [&](int percent) { return static_cast<int>(random() % 100) < percent; };
  const auto uniform = [&](uint32_t n) { return static_cast<uint32_t>(random() % n); };
  const uint32_t frames = 500 + uniform(3000);
  // Which frames the phone drops: runs at the start and end, runs and single frames between.
  std::vector<bool> dropped(frames, false);
  const auto dropRun = [&](uint32_t from, uint32_t length) {
    for (uint32_t s = from; s < std::min(frames, from + length); ++s) dropped[s] = true;
  };
  if (chance(50)) dropRun(0, 1 + uniform(300));
  if (chance(50)) dropRun(frames - 1 - uniform(300), 300);
  for (int i = uniform(8); i > 0; --i) dropRun(uniform(frames), 1 + uniform(i % 2 ? 12 : 160));
  for (uint32_t s = 0; s < frames; ++s) dropped[s] = dropped[s] || chance(3);

  // Every event in time order: a frame's send (kind 0) or an echo's arrival (kind 1), ms.
  struct Arrival {
    int64_t atMs;
    int kind;
    uint32_t sequence;
    bool stray;
  };
  std::vector<Arrival> events;
  for (uint32_t s = 0; s < frames; ++s) {
    events.push_back({s * 20, 0, s, false});
    if (dropped[s]) continue;
    int64_t delay = 30 + uniform(100);                 // overtaken by up to 5 frames
    if (chance(2)) delay = 200 + 20 + uniform(2000);   // later than the grace
    events.push_back({s * 20 + delay, 1, s, false});
    if (chance(3)) events.push_back({s * 20 + delay + uniform(50), 1, s, false});  // repeat
    const auto wild = static_cast<uint32_t>(random());
    if (chance(1)) events.push_back({s * 20 + delay, 1, wild, true});  // a wild number
  }
  const int64_t closeMs = (frames - 1) * 20 + 20 + 200;
  std::stable_sort(events.begin(), events.end(),
                   [](const Arrival& a, const Arrival& b) { return a.atMs < b.atMs; });

  CycleLedger ledger;
  ledger.Begin(0, 0, 20 * kMs, static_cast<int32_t>(frames));
  std::vector<bool> echoed(frames, false);
  uint32_t sent = 0;
  int32_t counted = 0;  // lostCounted may only grow
  for (const Arrival& e : events) {
    if (e.atMs > closeMs) break;
    const uint32_t tick = 1000 + static_cast<uint32_t>(e.atMs);
    if (e.kind == 0) {
      ledger.FrameSent(tick, e.atMs * kMs);
      ++sent;
    } else {
      const uint32_t sendTick = e.stray ? tick : 1000 + e.sequence * 20;
      ledger.CountEcho(e.sequence, sendTick, tick, e.atMs * kMs);
      if (!e.stray && e.sequence < frames) echoed[e.sequence] = true;
    }
    if (!chance(2)) continue;
    // Live: the frames sent more than the grace ago are judged, the others only sent.
    const int64_t dueMs = e.atMs - 200;
    const uint32_t due = dueMs <= 0 ? 0 : std::min<uint32_t>(sent, (dueMs + 19) / 20);
    const TestStatistics live = ledger.Figures(e.atMs * kMs - kGraceNs);
    const Model model(echoed, due);
    ASSERT_EQ(live.sent, static_cast<int32_t>(sent)) << e.atMs;
    ASSERT_EQ(live.lost, model.lost) << e.atMs;
    ASSERT_EQ(live.maxBurstLost, model.maxBurstLost) << e.atMs;
    ASSERT_EQ(live.interruptions, model.interruptions) << e.atMs;
    ASSERT_GE(live.lostCounted, counted);
    counted = live.lostCounted;
  }
  ledger.Close();
  const TestStatistics s = ledger.Figures();
  const Model model(echoed, frames);
  int32_t received = 0;
  for (bool e : echoed) received += e;
  EXPECT_EQ(s.sent, static_cast<int32_t>(frames));
  EXPECT_EQ(s.received, received);
  EXPECT_EQ(s.lost, model.lost);
  EXPECT_EQ(s.sent, s.received + s.lost);
  EXPECT_EQ(s.lostCounted - s.lateEchoes, s.lost);
  EXPECT_EQ(s.maxBurstLost, model.maxBurstLost);
  EXPECT_EQ(s.interruptions, model.interruptions);
  const VoiceQuality voice = AssessCycle(ledger.Timings());
  EXPECT_EQ(voice.loss.lost, model.loss.lost);
  EXPECT_DOUBLE_EQ(voice.loss.lossPercent, model.loss.lossPercent);
  EXPECT_DOUBLE_EQ(voice.loss.p, model.loss.p);
  EXPECT_DOUBLE_EQ(voice.loss.q, model.loss.q);
}

TEST(CycleLedger, FiguresMatchAPlainModelOfTheSetsSentAndEchoed) {
  const uint32_t paths[] = {1, 2, 3, 5, 8, 13, 21, 34, 55, 89, 144, 233, 377, 610, 987, 1597};
  for (uint32_t path : paths) {
    SCOPED_TRACE(path);
    PlayRandomPath(path);
  }
}

}  // namespace
}  // namespace pathmon
