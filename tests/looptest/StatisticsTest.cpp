// SPDX-License-Identifier: Apache-2.0
// The cycle statistics, fed sequence numbers and round-trip times directly.
#include <gtest/gtest.h>

#include <functional>
#include <initializer_list>
#include <limits>
#include <vector>

#include "looptest/LoopTest.h"

namespace pathmon {
namespace {

// Feeds echoes like the datagram handler: the reference is the last in-order echo.
struct Feeder {
  TestStatistics s;
  uint32_t reference = 0;
  void Echo(uint32_t sequence, int32_t rtt = 10) {
    if (s.CountEcho(sequence, rtt, reference)) reference = sequence;
  }
  void Echoes(std::initializer_list<uint32_t> sequences) {
    for (uint32_t q : sequences) Echo(q);
  }
  void Range(uint32_t from, uint32_t to) {
    for (uint32_t q = from; q <= to; ++q) Echo(q);
  }
};

TEST(Statistics, GapsCountLossAndTheLongestBurst) {
  Feeder f;
  f.Echoes({0, 1, 4});
  EXPECT_EQ(f.s.lost, 2);
  EXPECT_EQ(f.s.maxBurstLost, 2);
  EXPECT_EQ(f.s.received, 3);
  f.Echoes({5, 10});
  EXPECT_EQ(f.s.lost, 6);
  EXPECT_EQ(f.s.maxBurstLost, 4);
}

TEST(Statistics, LateAndRepeatedEchoesGiveOneFrameBackNeverBelowZero) {
  Feeder f;
  f.Echoes({0, 1, 4, 2});
  EXPECT_EQ(f.s.lost, 1);
  EXPECT_EQ(f.s.received, 4);
  EXPECT_EQ(f.reference, 4u);  // a late echo is not the new reference
  f.Echoes({4, 4});            // repeats count as late
  EXPECT_EQ(f.s.lost, 0);
  EXPECT_EQ(f.s.received, 6);
  f.Echo(1);
  EXPECT_EQ(f.s.lost, 0);
}

TEST(Statistics, FirstEchoOfACycleNeverCountsAGap) {
  Feeder f;
  f.Echo(700);
  EXPECT_EQ(f.s.lost, 0);
  EXPECT_EQ(f.s.received, 1);
}

TEST(Statistics, InterruptionNeedsTenMissingWithinAFiftyFrameWindow) {
  Feeder ten;
  ten.Echoes({0, 11});  // ten missing
  ten.Range(12, 49);
  EXPECT_EQ(ten.s.interruptions, 0);
  ten.Echo(50);
  EXPECT_EQ(ten.s.interruptions, 1);
  EXPECT_EQ(ten.s.windowStart, 50);
  EXPECT_EQ(ten.s.windowLoss, 0);

  Feeder nine;
  nine.Echoes({0, 10});  // nine missing
  nine.Range(11, 120);
  EXPECT_EQ(nine.s.interruptions, 0);
  EXPECT_EQ(nine.s.lost, 9);

  // The gap that closes a window counts toward it.
  Feeder closing;
  closing.Range(0, 40);
  closing.Echo(55);  // 14 missing, closes the window at 55
  EXPECT_EQ(closing.s.interruptions, 1);
  EXPECT_EQ(closing.s.windowStart, 55);
}

TEST(Statistics, ReorderedEchoesAreNeitherLostNorAnInterruption) {
  // Frames 10..19 overtaken by 20: counted missing when 20 arrives, given back as they come.
  Feeder f;
  f.Range(0, 9);
  f.Echo(20);
  f.Range(10, 19);
  f.Range(21, 120);
  EXPECT_EQ(f.s.lost, 0);
  EXPECT_EQ(f.s.received, 121);
  EXPECT_EQ(f.s.interruptions, 0);

  // A late echo from a window already closed does not lower the loss of the open one.
  Feeder g;
  g.Range(0, 39);
  g.Echo(55);  // 15 missing: closes the window at 55 as an interruption
  g.Echoes({60, 45});
  EXPECT_EQ(g.s.interruptions, 1);
  EXPECT_EQ(g.s.windowLoss, 4);  // 56..59; 45 belonged to the closed window
  EXPECT_EQ(g.s.lost, 18);
}

TEST(Statistics, RoundTripFigures) {
  Feeder f;
  f.Echo(0, 400);
  EXPECT_EQ(f.s.delayed, 0);  // 400 exactly is not delayed
  f.Echo(1, 401);
  EXPECT_EQ(f.s.delayed, 1);
  f.Echo(2, 100);
  EXPECT_EQ(f.s.lastRtt, 100);
  EXPECT_EQ(f.s.maxRtt, 401);
  EXPECT_EQ(f.s.avgRtt, 300);  // 901 / 3, truncated
}

TEST(Statistics, WildValuesFromAPhoneStayDefined) {
  // Round-trip times near the int32 limits and sequence numbers near 2^32 must neither
  // overflow (the sanitizer build aborts on that) nor produce nonsense averages.
  Feeder f;
  const int32_t big = std::numeric_limits<int32_t>::max();
  for (uint32_t q = 0; q < 4; ++q) f.Echo(q, big);
  EXPECT_EQ(f.s.avgRtt, big);
  f.Echo(0xFFFFFFF0u, 5);
  f.Echo(0xFFFFFFFFu, 5);
  EXPECT_EQ(f.s.lost, std::numeric_limits<int32_t>::max());
  EXPECT_EQ(f.s.maxBurstLost, std::numeric_limits<int32_t>::max());
  f.s.Reset();
  EXPECT_EQ(f.s.lost, 0);
  EXPECT_EQ(f.s.rttSum, 0);
}


// A cycle's ledger driven like the test loop: frames at 20 ms ticks, echoes that carry the
// frame's tick and come back 30 ms later unless a case says otherwise.
struct LedgerRig {
  static constexpr uint32_t kFirstTick = 0xFFFFF000u;  // the tick counter wraps mid-cycle
  static constexpr int64_t kWallNs = 1'796'740'000'000'000'000;  // the wall clock at the start
  CycleLedger ledger;
  std::vector<uint32_t> ticks;  // the cycle's frames
  uint32_t nextTick = kFirstTick;
  // The steady instant of a tick, ns: the ticks' own milliseconds since the first.
  static int64_t Ns(uint32_t tick) { return int64_t{tick - kFirstTick} * 1'000'000; }
  void Send(int frames) {
    if (ticks.empty()) ledger.Begin(Ns(nextTick), kWallNs, 20'000'000, frames);
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
  void CycleResult() { ledger.CountUnanswered(Now() + 200, 200); }  // after the grace
  void ResultNow() { ledger.CountUnanswered(Now(), 200); }          // within the grace
};

TEST(CycleLedger, EveryFailureOfThePathShowsInTheFigures) {
  struct Case {
    const char* name;
    std::function<void(LedgerRig&)> play;
    int32_t sent, received, lost, maxBurstLost, interruptions, strayEchoes;
  };
  const std::vector<Case> cases = {
      {"clean phone", [](LedgerRig& r) { r.Send(2981); r.Echoes(0, 2980); r.CycleResult(); },
       2981, 2981, 0, 0, 0, 0},
      // Windows close at 50, 100, ... 950; the final gap 1000..2980 closes a span of 2031.
      {"dies after frame 999, cycle result",
       [](LedgerRig& r) { r.Send(2981); r.Echoes(0, 999); r.CycleResult(); },
       2981, 1000, 1981, 1981, 40, 0},
      // Before the grace is over the last 10 frames (200 ms) may still be on their way.
      {"dies after frame 999, result within the grace",
       [](LedgerRig& r) { r.Send(2981); r.Echoes(0, 999); r.ResultNow(); },
       2981, 1000, 1971, 1971, 40, 0},
      // The gap 250..2899 closes the window opened at 200: a span of 2700 frames.
      {"53-second outage",
       [](LedgerRig& r) { r.Send(2981); r.Echoes(0, 249); r.Echoes(2900, 2980); r.CycleResult(); },
       2981, 331, 2650, 2650, 54, 0},
      {"span of 2651 frames",
       [](LedgerRig& r) { r.Send(2700); r.Echoes(0, 40); r.Echo(2651); r.CycleResult(); },
       2700, 42, 2610 + 48, 2610, 53, 0},
      {"12-frame gap",
       [](LedgerRig& r) { r.Send(150); r.Echoes(0, 9); r.Echoes(22, 149); r.CycleResult(); },
       150, 138, 12, 12, 1, 0},
      // 1490 odd frames missing, 25 in every window of 50; every repeat is ignored.
      {"odd frames dropped, even ones echoed twice",
       [](LedgerRig& r) {
         r.Send(2981);
         for (uint32_t q = 0; q <= 2980; q += 2) {
           r.Echo(q);
           EXPECT_EQ(r.Echo(q), CycleLedger::Echo::kStray);
         }
         r.CycleResult();
       },
       2981, 1491, 1490, 1, 59, 1491},
      {"an extra echo numbered 0xFFFFFFF0",
       [](LedgerRig& r) {
         r.Send(2981);
         r.Echoes(0, 1500);
         EXPECT_EQ(r.Stray(0xFFFFFFF0u, r.ticks[5]), CycleLedger::Echo::kStray);
         r.Echoes(1501, 2980);
         r.CycleResult();
       },
       2981, 2981, 0, 0, 0, 1},
      // The phone ends the test on the first frame without echoing it: lost after the
      // grace, and the cycle has no echo (the front ends call that not usable).
      {"end flag on the first frame", [](LedgerRig& r) { r.Send(1); r.CycleResult(); },
       1, 0, 1, 1, 0, 0},
      {"nothing echoed at all", [](LedgerRig& r) { r.Send(3000); r.CycleResult(); },
       3000, 0, 3000, 3000, 60, 0},
      // A late echo still takes back the loss of its gap; its repeat does not.
      {"late echo and its repeat",
       [](LedgerRig& r) {
         r.Send(10);
         r.Echoes(0, 3);
         r.Echoes(6, 9);
         EXPECT_EQ(r.Echo(4), CycleLedger::Echo::kLate);
         EXPECT_EQ(r.Echo(4), CycleLedger::Echo::kStray);
         r.CycleResult();
       },
       10, 9, 1, 2, 0, 1},
      // A send tick from the future (or any tick the frame did not carry) gives no
      // negative round trip: it is not counted at all.
      {"send tick in the future",
       [](LedgerRig& r) {
         r.Send(5);
         r.Echoes(0, 3);
         EXPECT_EQ(r.ledger.CountEcho(4, r.Now() + 299, r.Now()), CycleLedger::Echo::kStray);
         r.Echo(4);
         r.CycleResult();
       },
       5, 5, 0, 0, 0, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LedgerRig r;
    c.play(r);
    const TestStatistics& s = r.ledger.Figures();
    EXPECT_EQ(s.sent, c.sent);
    EXPECT_EQ(s.received, c.received);
    EXPECT_EQ(s.lost, c.lost);
    EXPECT_EQ(s.maxBurstLost, c.maxBurstLost);
    EXPECT_EQ(s.interruptions, c.interruptions);
    EXPECT_EQ(s.strayEchoes, c.strayEchoes);
    EXPECT_GE(s.avgRtt, 0);
    if (s.received > 0) {
      EXPECT_EQ(s.avgRtt, 30);
    }
  }
}

// Each span that counted as interruptions is one entry of the timeline: its first missing
// frame, when that frame left, the frames lost in it and the interruptions it counted. The
// frames' instants are those of their sends and of their counted echoes only.
TEST(CycleLedger, TheInterruptionTimelineHasAnEntryForEverySpanThatCounted) {
  struct Case {
    const char* name;
    std::function<void(LedgerRig&)> play;
    std::vector<InterruptionSpan> spans;  // time left out: it follows from firstSequence
  };
  const std::vector<Case> cases = {
      {"clean phone", [](LedgerRig& r) { r.Send(500); r.Echoes(0, 499); r.CycleResult(); }, {}},
      {"12-frame gap",
       [](LedgerRig& r) { r.Send(150); r.Echoes(0, 9); r.Echoes(22, 149); r.CycleResult(); },
       {{0, 10, 12, 1}}},
      // A late echo inside the span is no longer missing from it.
      {"gap with a late echo in it",
       [](LedgerRig& r) {
         r.Send(150);
         r.Echoes(0, 9);
         r.Echoes(23, 30);
         r.Echo(10);
         r.Echoes(31, 149);
         r.CycleResult();
       },
       {{0, 11, 12, 1}}},
      {"53-second outage",
       [](LedgerRig& r) { r.Send(2981); r.Echoes(0, 249); r.Echoes(2900, 2980); r.CycleResult(); },
       {{0, 250, 2650, 54}}},
      {"dies after frame 999",
       [](LedgerRig& r) { r.Send(2981); r.Echoes(0, 999); r.CycleResult(); },
       {{0, 1000, 1981, 40}}},
      {"two bursts",
       [](LedgerRig& r) {
         r.Send(1000);
         r.Echoes(0, 99);
         r.Echoes(110, 499);
         r.Echoes(550, 999);
         r.CycleResult();
       },
       {{0, 100, 10, 1}, {0, 500, 50, 1}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LedgerRig r;
    c.play(r);
    const std::vector<InterruptionSpan>& spans = r.ledger.Interruptions();
    ASSERT_EQ(spans.size(), c.spans.size());
    int32_t counted = 0;
    for (std::size_t i = 0; i < spans.size(); ++i) {
      EXPECT_EQ(spans[i].firstSequence, c.spans[i].firstSequence);
      EXPECT_EQ(spans[i].lost, c.spans[i].lost);
      EXPECT_EQ(spans[i].count, c.spans[i].count);
      EXPECT_EQ(spans[i].timeWallNs, LedgerRig::kWallNs + spans[i].firstSequence * 20'000'000LL);
      counted += spans[i].count;
    }
    EXPECT_EQ(counted, r.ledger.Figures().interruptions);
    const CycleTimings timings = r.ledger.Timings();
    ASSERT_EQ(timings.frames.size(), r.ticks.size());
    int32_t received = 0;
    for (const FrameTiming& f : timings.frames) {
      if (!f.Received()) continue;
      EXPECT_EQ(f.arrivalNs - f.sendNs, 30'000'000);
      ++received;
    }
    EXPECT_EQ(received, r.ledger.Figures().received);
  }
}

TEST(CycleLedger, AnEchoOfThePreviousCycleNeverBecomesTheNewReference) {
  // The new cycle loses 150 frames in three bursts of 50. The old cycle's echoes of its
  // frames 14999 and 3 arrive after the grace, once the new cycle has sent a few frames;
  // neither was sent by this cycle with that tick, so the figures are those of the same
  // cycle without them.
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
    r.CycleResult();
    return r.ledger.Figures();
  };
  const TestStatistics clean = play(false);
  const TestStatistics stale = play(true);
  EXPECT_EQ(clean.lost, 150);
  EXPECT_EQ(clean.maxBurstLost, 50);
  EXPECT_GE(clean.interruptions, 3);
  EXPECT_EQ(stale.lost, clean.lost);
  EXPECT_EQ(stale.maxBurstLost, clean.maxBurstLost);
  EXPECT_EQ(stale.interruptions, clean.interruptions);
  EXPECT_EQ(stale.received, clean.received);
  EXPECT_EQ(stale.maxRtt, 30);
  EXPECT_EQ(stale.strayEchoes, 2);
}

}  // namespace
}  // namespace pathmon
