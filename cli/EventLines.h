// SPDX-License-Identifier: Apache-2.0
#pragma once
// The event lines ("18:02:05  alice:SN1  test started"): what -v adds under the table on a
// terminal, and what a stream that is no terminal (a pipe, a file, the journal) gets instead
// of the table. Collected on the tests' threads and from the run's polls, printed by the
// run's own thread.
//
// Contract: thread-safe.

#include <cstddef>
#include <deque>
#include <map>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "cli/CliOptions.h"
#include "frontend/Backend.h"
#include "looptest/LoopTest.h"

namespace pathmon::cli {

inline constexpr std::size_t kRecentEventLines = 10;

// What a run shows while its tests run: on a terminal the table, redrawn every 2 seconds
// (-v: the latest event lines under it); on any other stream the event lines as they come,
// never the table (its redraws would fill a log with copies); with -q nothing.
enum class LiveOutput { kNothing, kTable, kLines };
LiveOutput LiveOutputFor(Verbosity verbosity, bool terminal);

class EventLines final : public TestObserver {
 public:
  explicit EventLines(double minMos) : minMos_(minMos) {}  // --min-mos, for "not usable"
  void OnStarted(const TestStarted& event) override;
  void OnCycleResult(const CycleResult& event) override;
  void OnFinished(const TestFinished& event) override;

  // A running test's echo silence as the run polls it: one line when a test has had no echo
  // for kSilenceShownMs ("no echo for 2 s"), one when echoes return ("echoes again after
  // 36 s of silence") or its test ends while silent, so that a log without the table still
  // shows a path that went silent, and for how long.
  void NoteSilence(const std::string& userName, const std::string& serialNumber,
                   const TestSnapshot& snapshot, int64_t wallSeconds);

  // The lines since the last call; they join the recent ones.
  std::vector<std::string> Take();
  // The latest kRecentEventLines lines taken.
  std::vector<std::string> Recent();

 private:
  void Add(int64_t wallSeconds, const std::string& userName, const std::string& serialNumber,
           const std::string& what);

  const double minMos_;
  std::mutex mutex_;
  std::map<std::string, int64_t> silentMs_;  // by serial number: the longest silence polled
  std::vector<std::string> new_;
  std::deque<std::string> recent_;
};

// The lines taken from lines since the last call, written to out as they are.
void PrintEventLines(EventLines& lines, std::ostream& out);

// "HH:MM:SS" of the local time.
std::string LocalClockText(int64_t wallSeconds);

}  // namespace pathmon::cli
