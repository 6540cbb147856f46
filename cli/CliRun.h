// SPDX-License-Identifier: Apache-2.0
#pragma once
// A whole run of pathmon-cli once its arguments are accepted: the scans, the tests of the
// phones found within the concurrent limit, the table every 2 seconds on a terminal (the
// event lines elsewhere, EventLines.h), the logs, the summary and the JSON report.
// Everything it touches comes in through CliEnvironment, the same seams the desktop program
// uses (MainBackend, DiscoveryAccess).

#include <functional>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "cli/CliOptions.h"
#include "cli/ConsoleScan.h"
#include "transport/PhoneLog.h"
#include "frontend/Backend.h"

namespace pathmon {
class Clock;
class DiscoveryAccess;
class SharedInterruptions;
}  // namespace pathmon

namespace pathmon::cli {

class EventStream;
class FleetMetrics;

inline constexpr int kRedrawMs = 2000;  // the main window's refresh period
inline constexpr int kPollMs = 250;     // how often the run looks for ended starts and tests

// Notes the name of every log file instead of opening it, and what each log leaves out;
// GetPhoneLog may call it from whichever thread runs the retrieval.
class RecordingFileOpener final : public FileOpener {
 public:
  void Open(const std::string& path) override;
  void Note(const std::string& path, const std::string& text) override;
  bool Interrupted() override;
  // Asked before every row of a log; set before any retrieval.
  void SetInterruptCheck(std::function<bool()> check) { interrupted_ = std::move(check); }
  std::vector<std::string> Take();
  std::vector<std::string> TakeNotes();  // "NAME: TEXT"

 private:
  std::mutex mutex_;
  std::vector<std::string> paths_;
  std::vector<std::string> notes_;
  std::function<bool()> interrupted_;
};

struct CliEnvironment {
  MainBackend& backend;
  DiscoveryAccess& discovery;
  Clock& clock;
  std::function<void(const char*)> setCommunity;  // the directory's community
  InterruptibleWait wait;                         // true once SIGINT, SIGTERM or SIGHUP came
  RecordingFileOpener& opener;                    // the opener GetPhoneLog was given
  std::ostream& out;
  std::ostream& err;
  bool terminal = false;  // out is a terminal: redraw in place
  // The signal that interrupted the run (0: none); unset, an interruption counts as SIGINT.
  std::function<int()> signal;
  std::ostream* jsonOut = nullptr;  // where "--json -" writes the report
  FleetMetrics* metrics = nullptr;  // --metrics-listen, --metrics-file
  EventStream* events = nullptr;    // --jsonl
  // The width of the terminal out is (asked at every redraw, as it may change; 0: no
  // limit), and whether the table may be coloured.
  std::function<std::size_t()> columns = {};
  bool colour = false;
  // The run's interruptions seen together: its correlator observes every test (added to the
  // backend before the run), the run polls it and flushes it once its tests have ended.
  SharedInterruptions* shared = nullptr;
};

// Returns the exit status (see CliOptions.h): an interrupted run 128 + the signal's number,
// once every final history line and the report are written. plan.sites holds at least one
// site, as CheckArguments makes it.
int RunCli(const RunPlan& plan, CliEnvironment& env);

}  // namespace pathmon::cli
