#pragma once
// Whether a phone is usable for voice, by the main window's rule: a cycle with an average
// round-trip time over 150 ms or more than 10 interruptions is not usable. And the exit
// status of a run.

#include <cstdint>
#include <vector>

#include "cli/TestScheduler.h"
#include "looptest/LoopTest.h"

namespace pathmon::cli {

inline constexpr int32_t kUsableMaxAvgRtt = 150;
inline constexpr int32_t kUsableMaxInterruptions = 10;
// A cycle of at least one loss window of frames in which no echo came back. Its average
// round-trip time (0) and interruptions (0: they are counted between echoes) would pass the
// rule, yet a phone that answers the control exchange and then echoes nothing is surely not
// usable. Shorter cycles (the few frames a test sends after a cycle end) are left to the
// rule alone: their echoes may simply not have arrived yet.
inline constexpr int32_t kSilentCycleMinFrames = TestStatistics::kWindowFrames;

bool CycleUsable(const TestStatistics& cycle);

enum class Outcome {
  kUsable,       // tested; every cycle usable
  kUnusable,     // tested; a cycle was not usable
  kNoResult,     // its test ran, but no cycle result arrived
  kStartFailed,  // the phone did not answer the control exchange
  kNotTested,    // not selected, or the run was interrupted before its turn
};

const char* OutcomeName(Outcome outcome);

// From the phone's final state in the scheduler (or kNotStarted when it was not scheduled)
// and its cycle results.
Outcome PhoneOutcome(PhoneState state, const std::vector<TestStatistics>& cycles);

// 0 when every tested phone was usable; 1 when one was not or did not start (a phone that
// cannot be tested needs the administrator as much as a bad one); 3 when no test started.
int ExitStatus(const std::vector<Outcome>& outcomes);

}  // namespace pathmon::cli
