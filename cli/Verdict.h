#pragma once
// Whether a phone is usable for voice, by the main window's rule: a cycle with an average
// round-trip time over 150 ms or more than 10 interruptions is not usable; with --min-mos, a
// cycle whose worst 10-second window scores below it is not usable either. And the exit
// status of a run.

#include <cstdint>
#include <vector>

#include "cli/TestScheduler.h"
#include "looptest/LoopTest.h"

namespace pathmon::cli {

inline constexpr int32_t kUsableMaxAvgRtt = 150;
inline constexpr int32_t kUsableMaxInterruptions = 10;
// Beside the rule: a cycle that sent frames and got no echo back is not usable. Its average
// round-trip time stays 0 and would pass the rule, yet a phone that answers the control
// exchange and then echoes nothing (or ends the test at once) is surely not usable.
bool CycleUsable(const TestStatistics& cycle);

// One cycle result as the run keeps it.
struct CycleRecord {
  int64_t wallSeconds = 0;  // when the cycle result was delivered
  TestStatistics stats;
  VoiceQuality voice;
};

// The main window's rule, and the worst window's MOS against minMos when it is above 0 (a
// cycle that sent nothing has no window to judge).
bool CycleUsable(const CycleRecord& cycle, double minMos);

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
