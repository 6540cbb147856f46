// SPDX-License-Identifier: Apache-2.0
#pragma once
// The command line of pathmon-cli and its checks. The community, the duration and every
// address range go through the same rules, in the same order and with the same messages,
// as the community dialog and the add-phones dialog.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/Site.h"
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

// How much a run tells on its way: -q only the summary and errors, -v also a line per event.
enum class Verbosity { kQuiet, kNormal, kVerbose };

inline constexpr const char* kCommunityVariable = "PATHMON_COMMUNITY";
inline constexpr int32_t kDefaultRescanMinutes = 60;
inline constexpr int32_t kMaxRescanMinutes = 1440;

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
  // Beside the options above: monitoring, streaming and where the files go.
  bool communityGiven = false;        // --community was on the command line
  std::string communityFile;          // --community-file
  std::string communityVariable;      // PATHMON_COMMUNITY, when set
  bool communityVariableSet = false;
  bool monitor = false;
  std::string rescan = "60";  // minutes
  bool rescanGiven = false;   // --rescan was on the command line
  std::string site;
  std::string metricsListen;  // "ADDR:PORT"
  std::string metricsFile;
  std::string jsonlPath;      // "-": standard output
  std::string outputDir;
  std::string sitesFile;
  bool quiet = false;
  bool verbose = false;
  std::optional<std::string> minMos;  // absent: no voice rule
  std::string dscp = "0";             // the class of the control exchange and test frames
};

struct ParseResult {
  bool run = false;     // false: exit at once with exitStatus
  int exitStatus = 0;
  std::string output;   // for stdout (help, version)
  std::string error;    // for stderr
  CliArguments arguments;
};
ParseResult ParseCommandLine(int argc, const char* const* argv);
// --help names every option's value by what it is (FILE, MINUTES, ADDR:PORT) and keeps to
// this many columns, the width of the terminal the help is read on.
inline constexpr std::size_t kHelpColumns = 100;

inline constexpr const char* kMsgBadMinMos = "--min-mos: Please enter a MOS from 1 to 4.5.";

// The range a --range names: "FIRST-LAST" split at the first "-"; "A.B.C.D/NN" the host
// addresses of that subnet (without its own and its broadcast address, but for /31 and
// /32), so that "/24" is the largest the dialog's rules take (254 addresses, within their
// limit of LAST at most FIRST + 255); any other text one address, the range A-A. Text that
// is no address stays as it is, for the rules to refuse.
AddressRange SplitRange(const std::string& text);

// The optimal string alignment distance (the edits, adjacent swaps included, that make one
// text the other), ASCII letter case ignored: how far a mistyped option is from a real one.
std::size_t EditDistance(std::string_view a, std::string_view b);

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
  bool monitor = false;
  int32_t rescanMinutes = kDefaultRescanMinutes;
  std::string metricsListen;
  std::string metricsFile;
  std::string jsonlPath;
  std::string outputDir;  // empty: the current directory
  Verbosity verbosity = Verbosity::kNormal;
  // The sites to test: the sites file's, or one site made of the options above (named by
  // --site); every site's community, duration and ranges checked as the options are.
  std::vector<Site> sites;
  bool sitesFromFile = false;
  std::string site;  // --site: the run's site name in the reports; empty: none
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

// Empty when a file can be made in folder (empty: the current directory); the message
// otherwise.
std::string CheckOutputFolder(const std::string& folder = "");

// The community in a file readable by its owner only (the process list and other users
// must not see it): its first line, without the line end. Empty with community set, or the
// message.
std::string ReadCommunityFile(const std::string& path, std::string& community);

}  // namespace pathmon::cli
