#pragma once
// A whole run of pathmon-cli once its arguments are accepted: the scans, the tests of the
// phones found within the concurrent limit, the table every 2 seconds, the logs, the
// summary and the JSON report. Everything it touches comes in through CliEnvironment, the
// same seams the desktop program uses (MainBackend, DiscoveryAccess).

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
}  // namespace pathmon

namespace pathmon::cli {

inline constexpr int kRedrawMs = 2000;  // the main window's refresh period
inline constexpr int kPollMs = 250;     // how often the run looks for ended starts and tests

// Notes the name of every log file instead of opening it; GetPhoneLog may call it from
// whichever thread runs the retrieval.
class RecordingFileOpener final : public FileOpener {
 public:
  void Open(const std::string& path) override;
  std::vector<std::string> Take();

 private:
  std::mutex mutex_;
  std::vector<std::string> paths_;
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
};

// Returns the exit status (see CliOptions.h).
int RunCli(const RunPlan& plan, CliEnvironment& env);

}  // namespace pathmon::cli
