// SPDX-License-Identifier: Apache-2.0
#include "cli/Verdict.h"

#include "cli/CliOptions.h"

namespace pathmon::cli {

const char* OutcomeName(Outcome outcome) {
  switch (outcome) {
    case Outcome::kUsable: return "usable";
    case Outcome::kUnusable: return "unusable";
    case Outcome::kIncomplete: return "incomplete";
    case Outcome::kNoResult: return "no-result";
    case Outcome::kStartFailed: return "start-failed";
    case Outcome::kNotTested: return "not-tested";
  }
  return "unknown";
}

Outcome PhoneOutcome(PhoneState state, const std::vector<CycleRecord>& cycles, TestEnd end,
                     double minMos) {
  switch (state) {
    case PhoneState::kWaiting:
    case PhoneState::kNotStarted:
      return Outcome::kNotTested;
    case PhoneState::kStartFailed:
      return Outcome::kStartFailed;
    case PhoneState::kStarting:
    case PhoneState::kRunning:
    case PhoneState::kFinished:
      break;
  }
  if (cycles.empty()) {
    // A phone still starting when the run was interrupted was never tested.
    return state == PhoneState::kStarting ? Outcome::kNotTested : Outcome::kNoResult;
  }
  for (const CycleRecord& cycle : cycles) {
    if (!CycleUsable(cycle, minMos)) return Outcome::kUnusable;
  }
  // Usable as far as it went: a test the phone, a failed send or a stop cut short did not
  // measure the whole duration, and a script must not read it as a clean one.
  if (end != TestEnd::kDuration) return Outcome::kIncomplete;
  return Outcome::kUsable;
}

int ExitStatus(const std::vector<Outcome>& outcomes) {
  bool tested = false;
  bool bad = false;
  for (Outcome outcome : outcomes) {
    switch (outcome) {
      case Outcome::kUsable: tested = true; break;
      case Outcome::kUnusable:
      case Outcome::kIncomplete:
      case Outcome::kNoResult: tested = true; bad = true; break;
      case Outcome::kStartFailed: bad = true; break;
      case Outcome::kNotTested: break;
    }
  }
  if (!tested) return kExitNothingRun;
  return bad ? kExitUnusable : kExitUsable;
}

}  // namespace pathmon::cli
