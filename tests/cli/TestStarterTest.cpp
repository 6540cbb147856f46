// SPDX-License-Identifier: Apache-2.0
// The exit status of a run from its phones' verdicts.

#include <gtest/gtest.h>

#include "cli/CliOptions.h"
#include "cli/TestStarter.h"

namespace pathmon::cli {
namespace {

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
