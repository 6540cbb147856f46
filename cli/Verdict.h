// SPDX-License-Identifier: Apache-2.0
#pragma once
// Whether a phone is usable for voice, by the main window's rule (frontend/Usable.h, and
// CycleUsable of a cycle record in frontend/RunReport.h): a cycle with an average round-trip time over 150 ms or more than 10
// interruptions is not usable; with --min-mos, a cycle whose worst 10-second window scores
// below it is not usable either. And the exit status of a run.

#include <cstdint>
#include <vector>

#include "cli/TestScheduler.h"
#include "frontend/RunReport.h"
#include "looptest/LoopTest.h"

namespace pathmon::cli {

enum class Outcome {
  kUsable,       // tested; every cycle usable
  kUnusable,     // tested; a cycle was not usable
  kIncomplete,   // tested, every cycle usable, but the test ended before its duration
  kNoResult,     // its test ran, but no cycle result arrived
  kStartFailed,  // the phone did not answer the control exchange
  kNotTested,    // not selected, or the run was interrupted before its turn
};

const char* OutcomeName(Outcome outcome);

// From the phone's final state in the scheduler (or kNotStarted when it was not scheduled),
// its cycle results and why its test ended.
Outcome PhoneOutcome(PhoneState state, const std::vector<CycleRecord>& cycles,
                     TestEnd end = TestEnd::kDuration, double minMos = 0);

// 0 when every tested phone was usable; 1 when one was not, was not tested to the end, or
// did not start (a phone that cannot be tested needs the administrator as much as a bad
// one); 3 when no test started.
int ExitStatus(const std::vector<Outcome>& outcomes);

}  // namespace pathmon::cli
