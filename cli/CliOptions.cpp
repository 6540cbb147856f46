// SPDX-License-Identifier: Apache-2.0
#include "cli/CliOptions.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <sstream>
#include <cstdio>
#include <cstdlib>

#include <climits>
#include <filesystem>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "Version.h"
#include "frontend/CommunityPresenter.h"
#include "frontend/AddPhonesPresenter.h"
#include "frontend/Messages.h"
#include "cli/Metrics.h"
#include "cli/SitesFile.h"
#include "discovery/PhoneListMgr.h"
#include "transport/Dscp.h"
#include "transport/FileRead.h"

namespace pathmon::cli {

namespace {

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// The option of app nearest by name to an unknown one ("--comunity" or "--comunity=x"), by
// EditDistance without the dashes, else those it begins ("--metrics": "--metrics-listen or
// --metrics-file"); empty when none is near enough to be the one meant.
std::string NearestOption(const CLI::App& app, const std::string& unknown) {
  std::string typed = unknown.substr(0, unknown.find('='));
  typed.erase(0, typed.find_first_not_of('-'));
  // A slip of a key or two in a long name, none in a short one but the letter case.
  const std::size_t allowed = typed.size() < 3 ? 0 : std::max<std::size_t>(1, (typed.size() + 2) / 4);
  std::string nearest;
  std::size_t best = allowed + 1;
  for (const CLI::Option* option : app.get_options()) {
    for (const std::string& name : option->get_lnames()) {
      if (const std::size_t d = EditDistance(typed, name); d < best) {
        best = d;
        nearest = "--" + name;
      }
    }
    for (const std::string& name : option->get_snames()) {
      if (const std::size_t d = EditDistance(typed, name); d < best) {
        best = d;
        nearest = "-" + name;
      }
    }
  }
  if (!nearest.empty() || typed.size() < 3) return nearest;
  for (const CLI::Option* option : app.get_options()) {
    for (const std::string& name : option->get_lnames()) {
      if (EditDistance(typed, name.substr(0, typed.size())) == 0) {
        nearest += (nearest.empty() ? "--" : " or --") + name;
      }
    }
  }
  return nearest;
}

// One line for each unknown option, with the nearest known one; CLI11's own message when
// the arguments not expected are no options (a value without its option).
std::string UnexpectedMessage(const CLI::App& app, const CLI::ExtrasError& error) {
  std::string message;
  for (const std::string& argument : app.remaining()) {
    if (argument.size() < 2 || argument[0] != '-') continue;
    message += argument.substr(0, argument.find('=')) + ": no such option";
    if (const std::string nearest = NearestOption(app, argument); !nearest.empty()) {
      message += "; did you mean " + nearest + "?";
    }
    message += '\n';
  }
  return message.empty() ? std::string(error.what()) + "\n" : message;
}

// text in lines of at most width columns, broken at blanks (a longer word keeps its line);
// its own line breaks stay.
std::string Wrapped(const std::string& text, std::size_t width) {
  std::string out;
  std::size_t column = 0;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (!out.empty()) out += '\n';
    column = 0;
    std::istringstream words(line);
    for (std::string word; words >> word;) {
      if (column > 0 && column + 1 + word.size() > width) {
        out += '\n';
        column = 0;
      } else if (column > 0) {
        out += ' ';
        ++column;
      }
      out += word;
      column += word.size();
    }
  }
  return out;
}

// CLI11's layout, its texts wrapped to fit kHelpColumns: an option's text in the column
// after the options' (CLI11 indents the lines after a line break to it), the program's
// description above them.
class HelpFormatter final : public CLI::Formatter {
 public:
  std::string make_description(const CLI::App* app) const override {
    return Wrapped(app->get_description(), kHelpColumns) + "\n\n";
  }
  std::string make_option_desc(const CLI::Option* option) const override {
    return Wrapped(option->get_description(), kHelpColumns - get_column_width());
  }
};

}  // namespace

std::size_t EditDistance(std::string_view a, std::string_view b) {
  // Rows i-2, i-1 and i of the table of distances between prefixes of a and of b.
  std::vector<std::size_t> before(b.size() + 1), previous(b.size() + 1), row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) previous[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const bool same = Lower(a[i - 1]) == Lower(b[j - 1]);
      row[j] = std::min({previous[j] + 1, row[j - 1] + 1, previous[j - 1] + (same ? 0 : 1)});
      if (i > 1 && j > 1 && Lower(a[i - 1]) == Lower(b[j - 2]) &&
          Lower(a[i - 2]) == Lower(b[j - 1])) {
        row[j] = std::min(row[j], before[j - 2] + 1);
      }
    }
    before.swap(previous);
    previous.swap(row);
  }
  return previous[b.size()];
}

ParseResult ParseCommandLine(int argc, const char* const* argv) {
  ParseResult result;
  CliArguments& a = result.arguments;
  CLI::App app{"Loop tests of Farline phones from the command line: discovers the phones "
               "of the given addresses over SNMP, tests them and writes their history files.",
               "pathmon-cli"};
  app.formatter(std::make_shared<HelpFormatter>());
  app.set_version_flag("-V,--version", std::string("pathmon-cli ") + kVersion);
  app.add_option("--community", a.community,
                 "SNMP read community of the phones (default orchid)")
      ->type_name("STRING");
  app.add_option("--duration", a.duration, "length of every test in minutes, 1 to 60 (default 5)")
      ->type_name("MINUTES");
  app.add_option("--range", a.ranges,
                 "addresses to scan: FIRST-LAST with LAST at most FIRST+255, a subnet "
                 "A.B.C.D/24 to /32 (its hosts: /24 is .1 to .254), or one address; repeatable")
      ->type_name("RANGE");
  app.add_option("--address", a.addresses, "a single address to scan; repeatable")
      ->type_name("ADDR");
  app.add_option("--serial", a.serials,
                 "test only the phone with this serial number; repeatable")
      ->type_name("SERIAL");
  app.add_flag("--log", a.fetchLogs, "fetch every selected phone's log after the tests");
  app.add_option("--json", a.jsonPath,
                 "write every phone and cycle result to FILE (\"-\": standard output)")
      ->type_name("FILE");
  app.add_option("--report", a.reportPath,
                 "write the site report, one HTML file with charts, to FILE")
      ->type_name("FILE");
  app.add_flag("--trace", a.trace, "write the diagnostic trace lines to stderr");
  app.add_option("--community-file", a.communityFile,
                 "read the community from the first line of FILE, readable by its owner only "
                 "(else " + std::string(kCommunityVariable) + " or --community)")
      ->type_name("FILE");
  app.add_flag("--monitor", a.monitor,
               "test the phones again and again until a signal; rescan the ranges regularly");
  app.add_option("--rescan", a.rescan,
                 "with --monitor: minutes between two scans, 1 to 1440 (default 60)")
      ->type_name("MINUTES");
  app.add_option("--site", a.site,
                 "the site label of the metrics and the --jsonl events, and the reports' site "
                 "name")
      ->type_name("NAME");
  app.add_option("--sites", a.sitesFile,
                 "test the sites of a TOML file (ranges, community file, duration and serial "
                 "numbers of each)")
      ->type_name("FILE");
  app.add_option("--metrics-listen", a.metricsListen,
                 "serve Prometheus metrics at http://ADDR:PORT/metrics while running")
      ->type_name("ADDR:PORT");
  app.add_option("--metrics-file", a.metricsFile,
                 "write the metrics to FILE at every cycle result and at the end")
      ->type_name("FILE");
  app.add_option("--jsonl", a.jsonlPath,
                 "append one JSON object per event to FILE (\"-\": standard output)")
      ->type_name("FILE");
  app.add_option("--output-dir", a.outputDir,
                 "folder for the history, voice history and log files (default: the current "
                 "one)")
      ->type_name("DIR");
  app.add_flag("-q,--quiet", a.quiet, "only the summary and errors");
  app.add_flag("-v,--verbose", a.verbose, "the table and a line per event");
  app.add_option("--min-mos", a.minMos,
                 "also count a cycle as not usable when its worst 10-second window scores "
                 "below this MOS, 1 to 4.5 (3.6: many users dissatisfied)")
      ->type_name("MOS");
  app.add_option("--dscp", a.dscp,
                 "mark the control exchange and the test frames with this DSCP class, a name "
                 "(EF: the class of calls, AF41, CS5, ...) or 0 to 63 (default 0: unmarked)")
      ->type_name("CLASS");
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    result.output = app.help();
    return result;
  } catch (const CLI::CallForVersion&) {
    result.output = std::string("pathmon-cli ") + kVersion + "\n";
    return result;
  } catch (const CLI::ExtrasError& e) {
    result.error = UnexpectedMessage(app, e) + "Run with --help for more information.\n";
    result.exitStatus = kExitBadInput;
    return result;
  } catch (const CLI::ParseError& e) {
    result.error = std::string(e.what()) + "\nRun with --help for more information.\n";
    result.exitStatus = kExitBadInput;
    return result;
  }
  a.communityGiven = app.count("--community") > 0;
  a.rescanGiven = app.count("--rescan") > 0;
  if (const char* variable = std::getenv(kCommunityVariable); variable != nullptr) {
    a.communityVariable = variable;
    a.communityVariableSet = true;
  }
  result.run = true;
  return result;
}

AddressRange SplitRange(const std::string& text) {
  if (const std::size_t dash = text.find('-'); dash != std::string::npos) {
    return {text.substr(0, dash), text.substr(dash + 1)};
  }
  const std::size_t slash = text.find('/');
  if (slash == std::string::npos) return {text, text};
  const std::string base = text.substr(0, slash);
  const std::string bits = text.substr(slash + 1);
  int prefix = -1;
  const auto [end, error] = std::from_chars(bits.data(), bits.data() + bits.size(), prefix);
  const in_addr_t address = ::inet_addr(base.c_str());
  if (bits.empty() || error != std::errc() || end != bits.data() + bits.size() || prefix < 0 ||
      prefix > 32 || address == INADDR_NONE) {
    return {text, text};  // no address: the rules refuse it as the starting one
  }
  const uint32_t mask = prefix == 0 ? 0 : ~uint32_t{0} << (32 - prefix);
  uint32_t first = ntohl(address) & mask;
  uint32_t last = first | ~mask;
  if (prefix <= 30) {
    // The subnet's own address and its broadcast address are no phone's; a probe of the
    // broadcast address would even be refused by the system on a local subnet.
    ++first;
    --last;
  }
  auto dotted = [](uint32_t host) {
    in_addr a{htonl(host)};
    char out[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &a, out, sizeof out);
    return std::string(out);
  };
  return {dotted(first), dotted(last)};
}

namespace {

// The report is written to a temporary file beside the target ("NAME.XXXXXX") and renamed
// over it, so the target must be absent or a regular file (a rename would replace a device,
// a symlink or a FIFO with a file), its folder must take files, and the temporary name must
// fit the file system's limit too.
std::string CheckTarget(const std::string& path, const std::string& what) {
  if (path.empty() || path == kJsonToStdout) return {};
  auto refuse = [&path, &what](const std::string& reason) {
    return "Cannot write " + what + " " + path + ": " + reason;
  };
  std::size_t slash = path.rfind('/');
  std::string dir = slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  if (name.empty()) return refuse(std::strerror(EISDIR));
  struct stat info {};
  if (::lstat(path.c_str(), &info) == 0) {
    if (S_ISDIR(info.st_mode)) return refuse(std::strerror(EISDIR));
    if (!S_ISREG(info.st_mode)) return refuse("not a regular file");
  } else if (errno != ENOENT) {
    return refuse(std::strerror(errno));
  }
  if (::access(dir.c_str(), W_OK | X_OK) != 0) return refuse(std::strerror(errno));
  const long nameMax = ::pathconf(dir.c_str(), _PC_NAME_MAX);
  if (name.size() + kTempSuffixLength > static_cast<std::size_t>(nameMax > 0 ? nameMax : 255) ||
      path.size() + kTempSuffixLength >= PATH_MAX) {
    return refuse(std::strerror(ENAMETOOLONG));
  }
  return {};
}

// A MOS from 1 to 4.5 written as a plain decimal number; 0 when not given, -1 otherwise.
double ParseMinMos(const std::optional<std::string>& given) {
  if (!given) return 0;
  const std::string& text = *given;
  if (text.empty() || text.find_first_not_of("0123456789.") != std::string::npos) return -1;
  errno = 0;
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (errno != 0 || end != text.c_str() + text.size() || !(value >= 1.0 && value <= 4.5)) {
    return -1;
  }
  return value;
}

// Two outputs written to one file would overwrite or interleave each other: refused, however
// the two names spell it ("r.json", "./r.json").
std::string CheckSharedTargets(const CliArguments& arguments) {
  const std::pair<const std::string*, const char*> targets[] = {
      {&arguments.jsonPath, "--json"},
      {&arguments.reportPath, "--report"},
      {&arguments.jsonlPath, "--jsonl"},
      {&arguments.metricsFile, "--metrics-file"}};
  auto same = [](const std::string& a, const std::string& b) {
    if (a.empty() || b.empty() || a == kJsonToStdout || b == kJsonToStdout) return false;
    std::error_code errorA, errorB;
    const auto pathA = std::filesystem::weakly_canonical(a, errorA);
    const auto pathB = std::filesystem::weakly_canonical(b, errorB);
    return errorA || errorB ? a == b : pathA == pathB;
  };
  for (std::size_t i = 0; i < std::size(targets); ++i) {
    for (std::size_t k = 0; k < i; ++k) {
      if (same(*targets[i].first, *targets[k].first)) {
        return std::string(targets[i].second) + ": " + *targets[i].first +
               " is also the file of " + targets[k].second;
      }
    }
  }
  return {};
}

}  // namespace

std::string CheckOutputFolder(const std::string& folder) {
  // Tried rather than asked: access() says yes to root in a read-only folder, and only a
  // file made and removed again shows that the folder takes files now.
  std::string name = (folder.empty() ? std::string(".") : folder) + "/.pathmon-cli-check-XXXXXX";
  const int fd = ::mkstemp(name.data());
  if (fd < 0) {
    const int error = errno;
    if (!folder.empty()) {
      return "--output-dir: Cannot write the history files in " + folder + ": " +
             std::strerror(error);
    }
    char cwd[4096];
    std::string current = ::getcwd(cwd, sizeof cwd) != nullptr ? cwd : ".";
    return "Cannot write the history files in the current directory " + current + ": " +
           std::strerror(error);
  }
  ::close(fd);
  ::unlink(name.c_str());
  return {};
}

std::string ReadCommunityFile(const std::string& path, std::string& community) {
  const std::string prefix = "--community-file: " + path + ": ";
  std::string text;
  std::string reason;
  struct stat info {};
  if (!ReadRegularFile(path, text, reason, {kCommunityMax + 2, true}, &info)) {
    return prefix + reason;
  }
  if ((info.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
    // Checked on the opened file, so a file swapped in after the check cannot slip by.
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 07777));
    return prefix + "other users may read it (mode " + mode +
           "): make it readable by its owner only (chmod 600)";
  }
  text = text.substr(0, text.find('\n'));
  if (!text.empty() && text.back() == '\r') text.pop_back();
  community = text;
  return {};
}

namespace {

// A whole decimal number within first..last, blanks around it allowed; the community
// dialog's texts when it is not.
std::string ParseWithin(const std::string& text, int32_t first, int32_t last, int32_t& value) {
  const std::size_t begin = text.find_first_not_of(" \t");
  const std::size_t end = text.find_last_not_of(" \t");
  const std::string digits = begin == std::string::npos ? "" : text.substr(begin, end - begin + 1);
  long long number = 0;
  auto [at, error] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
  if (digits.empty() || error == std::errc::invalid_argument ||
      at != digits.data() + digits.size()) {
    return kMsgEnterInteger;
  }
  if (error == std::errc::result_out_of_range || number < first || number > last) {
    return FillMessage(kMsgIntegerRange, std::to_string(first), std::to_string(last));
  }
  value = static_cast<int32_t>(number);
  return {};
}

}  // namespace

std::string CheckArguments(const CliArguments& arguments, RunPlan& plan) {
  RunPlan accepted;
  // Where the community comes from, for the messages: an explicit --community wins over the
  // environment, and the file may not be given with it.
  std::string community = arguments.community;
  std::string communityOption = "--community";
  if (!arguments.communityFile.empty()) {
    if (arguments.communityGiven) return "--community-file: not together with --community";
    if (std::string message = ReadCommunityFile(arguments.communityFile, community);
        !message.empty()) {
      return message;
    }
    communityOption = "--community-file";
  } else if (!arguments.communityGiven && arguments.communityVariableSet) {
    community = arguments.communityVariable;
    communityOption = kCommunityVariable;
  }
  CommunityCheck check = CheckCommunityInput(community, arguments.duration);
  if (!check.message.empty()) {
    const bool duration = check.field == CommunityField::kDuration;
    return (duration ? std::string("--duration") : communityOption) + ": " + check.message;
  }
  ApplyCommunityInput(check, community, accepted.settings,
                      [&accepted](const char* text) { accepted.community = text; });

  const bool sitesFile = !arguments.sitesFile.empty();
  if (sitesFile) {
    if (!arguments.ranges.empty()) return "--range: not together with --sites";
    if (!arguments.addresses.empty()) return "--address: not together with --sites";
    if (!arguments.serials.empty()) return "--serial: not together with --sites";
  }
  for (const std::string& text : arguments.ranges) accepted.ranges.push_back(SplitRange(text));
  for (const std::string& address : arguments.addresses) {
    accepted.ranges.push_back({address, address});
  }
  if (accepted.ranges.empty() && !sitesFile) return kMsgNoAddress;
  for (std::size_t i = 0; i < accepted.ranges.size(); ++i) {
    const AddressRange& range = accepted.ranges[i];
    RangeCheck rangeCheck = CheckAddressRange(range.first.c_str(), range.last.c_str());
    if (!rangeCheck.message.empty()) {
      return (i < arguments.ranges.size() ? "--range: " : "--address: ") + rangeCheck.message;
    }
  }

  accepted.minMos = ParseMinMos(arguments.minMos);
  if (accepted.minMos < 0) return kMsgBadMinMos;
  if (!ParseDscp(arguments.dscp, accepted.settings.dscp)) {
    return std::string("--dscp: ") + kMsgBadDscp;
  }
  if (arguments.monitor && !arguments.jsonPath.empty()) {
    return "--json: a monitor run has no end to report; --jsonl streams its results";
  }
  if (arguments.monitor && arguments.fetchLogs) return "--log: not together with --monitor";
  if (!arguments.monitor && arguments.rescanGiven) {
    return "--rescan: only with --monitor (a one-off run scans once)";
  }
  if (arguments.jsonPath == kJsonToStdout && arguments.jsonlPath == kJsonToStdout) {
    return "--jsonl: standard output already carries the JSON report (--json -)";
  }
  if (arguments.quiet && arguments.verbose) return "--quiet: not together with --verbose";
  if (std::string message = ParseWithin(arguments.rescan, 1, kMaxRescanMinutes,
                                        accepted.rescanMinutes);
      !message.empty()) {
    return "--rescan: " + message;
  }
  if (std::string message = CheckListenAddress(arguments.metricsListen);
      !arguments.metricsListen.empty() && !message.empty()) {
    return "--metrics-listen: " + message;
  }
  if (std::string message = CheckTarget(arguments.jsonPath, "the JSON report"); !message.empty()) {
    return message;
  }
  if (arguments.monitor && !arguments.reportPath.empty()) {
    return "--report: a monitor run has no end to report; --jsonl streams its results";
  }
  if (arguments.reportPath == kJsonToStdout) {
    return "--report: the site report is written to a file; name one";
  }
  if (std::string message = CheckTarget(arguments.reportPath, "the site report");
      !message.empty()) {
    return message;
  }
  if (std::string message = CheckTarget(arguments.metricsFile, "the metrics file");
      !message.empty()) {
    return "--metrics-file: " + message;
  }
  if (std::string message = CheckTarget(arguments.jsonlPath, "the event stream");
      !message.empty()) {
    return "--jsonl: " + message;
  }
  if (std::string message = CheckSharedTargets(arguments); !message.empty()) return message;
  if (std::string message = CheckOutputFolder(arguments.outputDir); !message.empty()) {
    return message;
  }

  Site defaults;
  defaults.name = arguments.site;
  defaults.community = accepted.community;
  defaults.durationMinutes = accepted.settings.durationMinutes;
  defaults.maxConcurrentTests = accepted.settings.maxConcurrentTests;
  if (sitesFile) {
    if (std::string message = LoadSitesFile(arguments.sitesFile, defaults, accepted.sites);
        !message.empty()) {
      return message;
    }
    accepted.sitesFromFile = true;
  } else {
    defaults.ranges = accepted.ranges;
    defaults.serials = arguments.serials;
    accepted.sites.push_back(defaults);
  }

  accepted.site = arguments.site;
  accepted.serials = arguments.serials;
  accepted.fetchLogs = arguments.fetchLogs;
  accepted.jsonPath = arguments.jsonPath;
  accepted.reportPath = arguments.reportPath;
  accepted.trace = arguments.trace;
  accepted.monitor = arguments.monitor;
  accepted.metricsListen = arguments.metricsListen;
  accepted.metricsFile = arguments.metricsFile;
  accepted.jsonlPath = arguments.jsonlPath;
  accepted.outputDir = arguments.outputDir;
  accepted.verbosity = arguments.quiet     ? Verbosity::kQuiet
                       : arguments.verbose ? Verbosity::kVerbose
                                           : Verbosity::kNormal;
  plan = std::move(accepted);
  return {};
}

}  // namespace pathmon::cli
