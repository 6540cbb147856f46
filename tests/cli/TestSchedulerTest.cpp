// SPDX-License-Identifier: Apache-2.0
// The waiting line of a fleet's tests: never more than the limit at once, first in line
// first, and a place freed by an end or a failed start goes to the next phone.

#include <gtest/gtest.h>

#include <stdexcept>

#include "cli/TestScheduler.h"

namespace pathmon::cli {
namespace {

TEST(TestScheduler, NeverMoreThanTheLimitAndFirstInLineFirst) {
  TestScheduler s({"A", "B", "C", "D", "E"}, 2);
  EXPECT_EQ(s.TakeStartable(), (std::vector<int>{0, 1}));
  EXPECT_TRUE(s.TakeStartable().empty());  // both places are held while starting
  EXPECT_EQ(s.Occupied(), 2);
  EXPECT_EQ(s.Waiting(), (std::vector<int>{2, 3, 4}));

  s.StartSucceeded(0);
  s.StartFailed(1);  // a failed start frees its place at once
  EXPECT_EQ(s.TakeStartable(), std::vector<int>{2});
  s.StartSucceeded(2);
  EXPECT_TRUE(s.TakeStartable().empty());

  s.Finished(0);
  EXPECT_EQ(s.TakeStartable(), std::vector<int>{3});
  s.StartSucceeded(3);
  s.Finished(2);
  s.Finished(3);
  EXPECT_EQ(s.TakeStartable(), std::vector<int>{4});
  EXPECT_FALSE(s.Done());
  s.StartSucceeded(4);
  s.Finished(4);
  EXPECT_TRUE(s.Done());
  EXPECT_EQ(s.State(1), PhoneState::kStartFailed);
  EXPECT_EQ(s.State(4), PhoneState::kFinished);
}

TEST(TestScheduler, AFleetWithinTheLimitStartsAtOnce) {
  TestScheduler s({"A", "B", "C"}, 10);
  EXPECT_EQ(s.TakeStartable(), (std::vector<int>{0, 1, 2}));
  EXPECT_TRUE(s.Waiting().empty());
}

TEST(TestScheduler, InterruptionLeavesTheWaitingUntested) {
  TestScheduler s({"A", "B", "C"}, 1);
  s.TakeStartable();
  s.CancelWaiting();
  EXPECT_EQ(s.State(1), PhoneState::kNotStarted);
  EXPECT_EQ(s.State(2), PhoneState::kNotStarted);
  EXPECT_FALSE(s.Done());  // A still holds its place
  s.StartCancelled(0);
  EXPECT_TRUE(s.Done());
  EXPECT_TRUE(s.TakeStartable().empty());
}

TEST(TestScheduler, ALimitBelowOneStillTestsOneAtATime) {
  TestScheduler s({"A", "B"}, 0);
  EXPECT_EQ(s.Limit(), 1);
  EXPECT_EQ(s.TakeStartable(), std::vector<int>{0});
}

TEST(TestScheduler, ImpossibleTransitionsAreRefused) {
  TestScheduler s({"A", "B"}, 1);
  EXPECT_THROW(s.StartSucceeded(0), std::logic_error);  // still waiting
  s.TakeStartable();
  EXPECT_THROW(s.Finished(0), std::logic_error);  // not running yet
  s.StartSucceeded(0);
  EXPECT_THROW(s.StartFailed(0), std::logic_error);
  EXPECT_EQ(s.Occupied(), 1);
}

TEST(TestScheduler, AFinalStateSaysHowFarItsTestGot) {
  using P = PhoneState;
  for (P state : {P::kWaiting, P::kNotStarted, P::kStarting}) {
    EXPECT_EQ(StageOf(state, false), TestStage::kNotTested) << StateName(state);
  }
  EXPECT_EQ(StageOf(P::kStartFailed, false), TestStage::kStartFailed);
  EXPECT_EQ(StageOf(P::kFinished, false), TestStage::kEnded);  // ran, but no result came
  EXPECT_EQ(StageOf(P::kStarting, true), TestStage::kEnded);
}

TEST(RemainingTime, RunningTestsAndWavesOfWaitingPhones) {
  // Nothing waiting: the longest running test.
  EXPECT_EQ(EstimateRemainingSeconds({10, 40}, 0, 2, 60, 2), 40);
  // Two places, three waiting: they go to the place free at 10, then 40, then 72.
  EXPECT_EQ(EstimateRemainingSeconds({10, 40}, 3, 2, 60, 2), 10 + 62 + 62);
  // Free places take waiting phones at once.
  EXPECT_EQ(EstimateRemainingSeconds({}, 4, 10, 60, 2), 62);
  EXPECT_EQ(EstimateRemainingSeconds({}, 0, 2, 60, 2), 0);
  // A test past its time (it is ending) counts as ending now.
  EXPECT_EQ(EstimateRemainingSeconds({-3}, 1, 1, 60, 2), 62);
}

TEST(RemainingTime, Formatting) {
  EXPECT_EQ(FormatDuration(0), "0:00");
  EXPECT_EQ(FormatDuration(-5), "0:00");
  EXPECT_EQ(FormatDuration(62), "1:02");
  EXPECT_EQ(FormatDuration(3599), "59:59");
  EXPECT_EQ(FormatDuration(3600 * 5 + 61), "5:01:01");
}

}  // namespace
}  // namespace pathmon::cli
