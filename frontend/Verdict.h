// SPDX-License-Identifier: Apache-2.0
#pragma once
// Whether a phone is fit for voice, judged in one place: from its test's cycles (each cycle's
// figures with its voice figures), why the test ended and the run's settings, the verdict
// (usable, not usable, incomplete, ...), its reason in words and its colour band. Every view
// renders this value and none derives it again: the main window's rows and status line, a
// phone's window, the command line's table, summary and exit status, the JSON report, the
// site report (from the command line or Save Report) and the metrics' usable gauge.
//
// The bands follow the verdict:
// - red: not usable (a cycle broke the usable rule below);
// - amber: usable, but a 10-second window scored below kPoorMos ("poor window", below
//   kBadMos "bad window"), or the sender was host-limited (the figures may overstate the
//   path's faults), or the test is incomplete (the phone ended it, it was stopped, it
//   delivered no result, or it still ran when a report was made);
// - green: usable, and none of the above;
// - none: not judged (not tested, its start failed, or a running test has sent nothing yet).

#include <cstdint>
#include <string>
#include <vector>

#include "discovery/PhoneDirectory.h"
#include "frontend/Backend.h"
#include "looptest/LoopTest.h"

namespace pathmon {

// The usable rule of a cycle (the main window's): an average round-trip time over 150 ms or
// more than 10 interruptions is not usable.
inline constexpr int32_t kUsableMaxAvgRtt = 150;
inline constexpr int32_t kUsableMaxInterruptions = 10;
// Below this worst-window MOS (R below 60) many callers would complain: "bad window"; below
// kPoorMos (R below 70): "poor window".
inline constexpr double kBadMos = 3.1;

// One cycle result as the verdict and the reports keep it.
struct CycleRecord {
  int64_t wallSeconds = 0;  // when the cycle result was delivered
  TestStatistics stats;
  VoiceQuality voice;
};

// The usable rule, and beside it: a cycle that sent frames and got no echo back is not
// usable (its average round trip stays 0 and would pass the rule, yet a phone that answers
// the control exchange and then echoes nothing is surely not usable); with minMos above 0
// (--min-mos), a cycle whose worst 10-second window scores below it is not usable either (a
// cycle without a scored frame has no window to judge).
bool CycleUsable(const CycleRecord& cycle, double minMos);

enum class Band { kNone, kGreen, kAmber, kRed };
const char* BandName(Band band);  // "none", "green", "amber", "red"

// The verdict's outcome. Its name is the JSON report's "outcome" and the summary's word.
enum class Outcome {
  kUsable,       // tested; every cycle usable
  kUnusable,     // tested; a cycle was not usable
  kIncomplete,   // every cycle usable, but the test ended before its duration (or still runs)
  kNoResult,     // its test ran, but no cycle result arrived
  kStartFailed,  // the phone did not answer the control exchange
  kNotTested,    // not selected, not started, or the run was interrupted before its turn
};
// "usable", "unusable", "incomplete", "no-result", "start-failed", "not-tested".
const char* OutcomeName(Outcome outcome);
// As the reports word it: "usable", "not usable", "incomplete" (no result too), "not tested"
// (a failed start too).
const char* OutcomeWords(Outcome outcome);

// Why a phone found was never tested: its start failed, it was set aside or not selected, or
// an interruption kept it from its turn. The name is a stable word for scripts (the JSON
// report's "notTestedCode", the reason of the event stream's "not-tested" event and of
// pathmon_test_start_failures_total); the text says it in words where nothing more particular
// is known (a clash names the other phone).
enum class NotTested {
  kNone,             // tested, or not yet known
  kNoAnswer,         // "no-answer": no answer to the control exchange (off hook, unreachable)
  kInterrupted,      // "interrupted": the run was interrupted before its test began
  kNotSelected,      // "not-selected": not among the phones the run was asked to test
  kDuplicateSerial,  // "duplicate-serial": another phone has its serial number
  kDuplicateKey,     // "duplicate-key": another phone answered with its identity key
  kLongSerial,       // "long-serial": its serial number is too long to be kept
  kTooManyPhones,    // "too-many-phones": beyond the tests one run can hold
};
const char* NotTestedName(NotTested cause);  // "none" for kNone
std::string NotTestedText(NotTested cause);  // empty for kNone
NotTested NotTestedOf(NotKeptCause cause);

// How far a phone's test got, as the verdict needs to know it.
enum class TestStage {
  kNotTested,    // never started
  kStartFailed,  // the phone did not answer the control exchange
  kRunning,      // runs now: judged on its figures so far, as the live views show them
  kUnfinished,   // still ran when a report was made: incomplete
  kEnded,        // ended; the end reason says why
};

// The band's reason in a word or two, for the main window's MOS cell (so that a band is never
// told by colour alone): red "unusable"; amber, the first that applies of "bad window", "poor
// window", "host-limited", "incomplete"; empty for green and none.
inline constexpr const char* kBandWords[] = {"unusable", "bad window", "poor window",
                                             "host-limited", "incomplete"};

struct Verdict {
  Outcome outcome = Outcome::kNotTested;
  Band band = Band::kNone;
  const char* word = "";  // one of kBandWords, or empty
  // Why, in words: the broken rule of a phone not usable, why a test is incomplete, and what
  // makes a usable phone amber; empty for a green one and one not tested.
  std::string reason;
  int32_t unusableCycles = 0;

  // The verdict and its reason as one line: "usable", "usable, but a 10-second window scored
  // 1.00 (bad)", "not usable: 12 interruptions, over 10", "incomplete: the phone ended the test".
  std::string Summary() const;
};

Verdict Judge(TestStage stage, const std::vector<CycleRecord>& cycles, TestEnd end,
              double minMos);

// The verdict of a test's current cycle as the live views show it: running, ended with its
// last cycle's figures, or never run. minMos as --min-mos (0: not given).
Verdict LiveVerdict(const TestSnapshot& snapshot, const VoiceQuality& voice, double minMos = 0);

}  // namespace pathmon
