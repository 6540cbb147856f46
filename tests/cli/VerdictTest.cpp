// Usable for voice or not, per cycle and per phone, and the exit status of a run.

#include <gtest/gtest.h>

#include "cli/CliOptions.h"
#include "cli/Verdict.h"

namespace pathmon::cli {
namespace {

TestStatistics Cycle(int32_t avgRtt, int32_t interruptions, int32_t sent = 3000,
                     int32_t received = 3000) {
  TestStatistics s;
  s.avgRtt = avgRtt;
  s.interruptions = interruptions;
  s.sent = sent;
  s.received = received;
  return s;
}

TEST(CycleUsable, TheMainWindowsRuleAtItsBounds) {
  EXPECT_TRUE(CycleUsable(Cycle(150, 10)));
  EXPECT_FALSE(CycleUsable(Cycle(151, 0)));
  EXPECT_FALSE(CycleUsable(Cycle(0, 11)));
  EXPECT_FALSE(CycleUsable(Cycle(2000000000, 0)));
}

TEST(CycleUsable, ACycleWithoutAnyEchoIsNotUsable) {
  // Echoes never came back: the figures the rule looks at stay 0.
  EXPECT_FALSE(CycleUsable(Cycle(0, 0, 3000, 0)));
  EXPECT_FALSE(CycleUsable(Cycle(0, 0, kSilentCycleMinFrames, 0)));
  // The few frames sent after a cycle end may simply not be back yet.
  EXPECT_TRUE(CycleUsable(Cycle(0, 0, kSilentCycleMinFrames - 1, 0)));
  EXPECT_TRUE(CycleUsable(Cycle(0, 0, 0, 0)));
}

TEST(PhoneOutcome, EveryCycleCountsAndStatesMapToOutcomes) {
  std::vector<TestStatistics> good = {Cycle(20, 0), Cycle(30, 2)};
  std::vector<TestStatistics> oneBad = {Cycle(20, 0), Cycle(30, 11), Cycle(20, 0)};
  EXPECT_EQ(PhoneOutcome(PhoneState::kFinished, good), Outcome::kUsable);
  EXPECT_EQ(PhoneOutcome(PhoneState::kFinished, oneBad), Outcome::kUnusable);
  EXPECT_EQ(PhoneOutcome(PhoneState::kFinished, {}), Outcome::kNoResult);
  EXPECT_EQ(PhoneOutcome(PhoneState::kStartFailed, {}), Outcome::kStartFailed);
  EXPECT_EQ(PhoneOutcome(PhoneState::kNotStarted, {}), Outcome::kNotTested);
  EXPECT_EQ(PhoneOutcome(PhoneState::kWaiting, {}), Outcome::kNotTested);
  EXPECT_EQ(PhoneOutcome(PhoneState::kStarting, {}), Outcome::kNotTested);
}

TEST(ExitStatus, RuleOfTheRun) {
  using O = Outcome;
  EXPECT_EQ(ExitStatus({O::kUsable, O::kUsable}), kExitUsable);
  EXPECT_EQ(ExitStatus({O::kUsable, O::kUnusable}), kExitUnusable);
  EXPECT_EQ(ExitStatus({O::kUsable, O::kNoResult}), kExitUnusable);
  EXPECT_EQ(ExitStatus({O::kUsable, O::kStartFailed}), kExitUnusable);
  // Phones an interruption kept from their turn were not tested: they do not count.
  EXPECT_EQ(ExitStatus({O::kUsable, O::kNotTested}), kExitUsable);
  EXPECT_EQ(ExitStatus({O::kStartFailed, O::kStartFailed}), kExitNothingRun);
  EXPECT_EQ(ExitStatus({O::kNotTested}), kExitNothingRun);
  EXPECT_EQ(ExitStatus({}), kExitNothingRun);
}

}  // namespace
}  // namespace pathmon::cli
