#pragma once
// The command line of pathmon-cli and its checks. The community, the duration and every
// address range go through the same rules, in the same order and with the same messages,
// as the community dialog and the add-phones dialog.

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "engine/Settings.h"

namespace pathmon::cli {

inline constexpr int kExitUsable = 0;      // every tested phone usable in every cycle
inline constexpr int kExitUnusable = 1;    // a phone was not usable, or its test did not start
inline constexpr int kExitBadInput = 2;    // a message on stderr; nothing started
inline constexpr int kExitNothingRun = 3;  // no phone found, or no test could start

// The run's results are incomplete: a file could not be written, addresses not probed. A
// signal ends a run with 128 + its number: 130 (SIGINT), 143 (SIGTERM), 129 (SIGHUP).
inline constexpr int kExitSignalBase = 128;

inline constexpr const char* kJsonToStdout = "-";  // --json -: the report on standard output
// What the atomic write adds to the report's name for its temporary file.
inline constexpr std::size_t kTempSuffixLength = 7;  // ".XXXXXX"

inline constexpr const char* kMsgNoAddress =
    "No address given: name the phones with --range FIRST-LAST or --address A";
// "%s" is the serial number as given.
inline constexpr const char* kMsgUnknownSerial =
    "Unknown serial number %s: no phone with this serial number was found in the scanned "
    "addresses";

// The options as typed; nothing checked yet.
struct CliArguments {
  std::string community = "orchid";
  std::string duration = "5";
  std::vector<std::string> ranges;     // "FIRST-LAST"
  std::vector<std::string> addresses;  // single addresses
  std::vector<std::string> serials;
  bool fetchLogs = false;
  std::string jsonPath;  // empty: no report
  std::string reportPath;  // --report: the site report's HTML file; empty: none
  bool trace = false;    // keep the diagnostic trace on stderr
  std::optional<std::string> minMos;  // absent: no voice rule
};

struct ParseResult {
  bool run = false;     // false: exit at once with exitStatus
  int exitStatus = 0;
  std::string output;   // for stdout (help, version)
  std::string error;    // for stderr
  CliArguments arguments;
};
ParseResult ParseCommandLine(int argc, const char* const* argv);

// An inclusive range of dotted addresses, accepted by the add-phones dialog's rules.
struct AddressRange {
  std::string first;
  std::string last;
};

inline constexpr const char* kMsgBadMinMos = "--min-mos: Please enter a MOS from 1 to 4.5.";

// "FIRST-LAST" split at the first "-"; text without "-" is a range with an empty end, which
// the dialog's rules refuse as an invalid ending address.
AddressRange SplitRange(const std::string& text);

// Everything a run needs, once the arguments are accepted.
struct RunPlan {
  std::string community;
  ProgramSettings settings;
  std::vector<AddressRange> ranges;  // the --range options in order, then the --address ones
  std::vector<std::string> serials;  // empty: every phone found
  bool fetchLogs = false;
  std::string jsonPath;
  std::string reportPath;  // the site report (HTML); empty: none
  bool trace = false;
  // Beside the main window's rule: a cycle whose worst 10-second window scores below this
  // MOS is not usable either. 0: no such rule.
  double minMos = 0;
};

// The first failing check's message, or empty with plan filled. Order: the community and
// the duration (community dialog), then each range (add-phones dialog), then the JSON
// report's target and the site report's (each absent or a regular file, in a folder that
// takes files, a name within the file system's limit) and the current directory, which must take the history files:
// a long run never ends with its report or its history lost.
std::string CheckArguments(const CliArguments& arguments, RunPlan& plan);

// Empty when a file can be made in the current directory; the message otherwise.
std::string CheckOutputFolder();

}  // namespace pathmon::cli
