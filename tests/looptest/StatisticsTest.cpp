// The cycle statistics, fed sequence numbers and round-trip times directly.
#include <gtest/gtest.h>

#include <initializer_list>
#include <limits>

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

}  // namespace
}  // namespace pathmon
