// SPDX-License-Identifier: Apache-2.0
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
  // Echoes never came back: the average round-trip time the rule looks at stays 0.
  EXPECT_FALSE(CycleUsable(Cycle(0, 0, 3000, 0)));
  // A phone that ends the test on the first frame has sent no echo either.
  EXPECT_FALSE(CycleUsable(Cycle(0, 0, 1, 0)));
  EXPECT_TRUE(CycleUsable(Cycle(0, 0, 0, 0)));
}

CycleRecord Record(const TestStatistics& stats, double worstWindowMos = 4.4) {
  CycleRecord r{0, stats, {}};
  r.voice.loss.sent = stats.sent;
  r.voice.worstWindowMos = worstWindowMos;
  return r;
}

TEST(PhoneOutcome, EveryCycleCountsAndStatesMapToOutcomes) {
  std::vector<CycleRecord> good = {Record(Cycle(20, 0)), Record(Cycle(30, 2))};
  std::vector<CycleRecord> oneBad = {Record(Cycle(20, 0)), Record(Cycle(30, 11)),
                                     Record(Cycle(20, 0))};
  EXPECT_EQ(PhoneOutcome(PhoneState::kFinished, good), Outcome::kUsable);
  EXPECT_EQ(PhoneOutcome(PhoneState::kFinished, oneBad), Outcome::kUnusable);
  EXPECT_EQ(PhoneOutcome(PhoneState::kFinished, {}), Outcome::kNoResult);
  EXPECT_EQ(PhoneOutcome(PhoneState::kStartFailed, {}), Outcome::kStartFailed);
  EXPECT_EQ(PhoneOutcome(PhoneState::kNotStarted, {}), Outcome::kNotTested);
  EXPECT_EQ(PhoneOutcome(PhoneState::kWaiting, {}), Outcome::kNotTested);
  EXPECT_EQ(PhoneOutcome(PhoneState::kStarting, {}), Outcome::kNotTested);
  // A test cut short is incomplete, unless its cycles already made it unusable.
  for (TestEnd end : {TestEnd::kPhoneEnded, TestEnd::kSendFailed, TestEnd::kStopped}) {
    EXPECT_EQ(PhoneOutcome(PhoneState::kFinished, good, end), Outcome::kIncomplete);
    EXPECT_EQ(PhoneOutcome(PhoneState::kFinished, oneBad, end), Outcome::kUnusable);
  }
}

TEST(PhoneOutcome, AMinimumMosAddsTheWorstWindowToTheRule) {
  // One bad 10 seconds in an otherwise clean cycle: usable by the main window's rule alone.
  const std::vector<CycleRecord> outage = {Record(Cycle(40, 3), 1.0), Record(Cycle(40, 0))};
  EXPECT_EQ(PhoneOutcome(PhoneState::kFinished, outage), Outcome::kUsable);
  EXPECT_EQ(PhoneOutcome(PhoneState::kFinished, outage, TestEnd::kDuration, 3.6),
            Outcome::kUnusable);
  EXPECT_EQ(PhoneOutcome(PhoneState::kFinished, {Record(Cycle(40, 0), 3.6)}, TestEnd::kDuration,
                         3.6),
            Outcome::kUsable);
  // A cycle that sent nothing has no window to judge.
  EXPECT_TRUE(CycleUsable(Record(Cycle(0, 0, 0, 0), 1.0), 3.6));
}

TEST(ExitStatus, RuleOfTheRun) {
  using O = Outcome;
  EXPECT_EQ(ExitStatus({O::kUsable, O::kUsable}), kExitUsable);
  EXPECT_EQ(ExitStatus({O::kUsable, O::kUnusable}), kExitUnusable);
  EXPECT_EQ(ExitStatus({O::kUsable, O::kNoResult}), kExitUnusable);
  EXPECT_EQ(ExitStatus({O::kUsable, O::kIncomplete}), kExitUnusable);
  EXPECT_EQ(ExitStatus({O::kUsable, O::kStartFailed}), kExitUnusable);
  // Phones an interruption kept from their turn were not tested: they do not count.
  EXPECT_EQ(ExitStatus({O::kUsable, O::kNotTested}), kExitUsable);
  EXPECT_EQ(ExitStatus({O::kStartFailed, O::kStartFailed}), kExitNothingRun);
  EXPECT_EQ(ExitStatus({O::kNotTested}), kExitNothingRun);
  EXPECT_EQ(ExitStatus({}), kExitNothingRun);
}

}  // namespace
}  // namespace pathmon::cli
