#include "cli/CliOptions.h"

#include <sys/stat.h>
#include <unistd.h>

#include <climits>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "Version.h"
#include "frontend/CommunityPresenter.h"
#include "frontend/AddPhonesPresenter.h"

namespace pathmon::cli {

ParseResult ParseCommandLine(int argc, const char* const* argv) {
  ParseResult result;
  CliArguments& a = result.arguments;
  CLI::App app{"Loop tests of Farline phones from the command line: discovers the phones "
               "of the given addresses over SNMP, tests them and writes their history files.",
               "pathmon-cli"};
  app.set_version_flag("--version", std::string("pathmon-cli ") + kVersion);
  app.add_option("--community", a.community, "SNMP read community of the phones")
      ->default_str("orchid");
  app.add_option("--duration", a.duration, "length of every test in minutes, 1 to 60")
      ->default_str("5");
  app.add_option("--range", a.ranges, "addresses FIRST-LAST to scan (at most 256); repeatable")
      ->type_name("FIRST-LAST");
  app.add_option("--address", a.addresses, "a single address to scan; repeatable")
      ->type_name("A");
  app.add_option("--serial", a.serials,
                 "test only the phone with this serial number; repeatable")
      ->type_name("SN");
  app.add_flag("--log", a.fetchLogs, "fetch every selected phone's log after the tests");
  app.add_option("--json", a.jsonPath,
                 "write every phone and cycle result to FILE (\"-\": standard output)")
      ->type_name("FILE");
  app.add_option("--report", a.reportPath,
                 "write the site report, one HTML file with charts, to FILE")
      ->type_name("FILE");
  app.add_flag("--trace", a.trace, "write the diagnostic trace lines to stderr");
  app.add_option("--min-mos", a.minMos,
                 "also count a cycle as not usable when its worst 10-second window scores "
                 "below this MOS (1 to 4.5)")
      ->type_name("X");
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    result.output = app.help();
    return result;
  } catch (const CLI::CallForVersion&) {
    result.output = std::string("pathmon-cli ") + kVersion + "\n";
    return result;
  } catch (const CLI::ParseError& e) {
    result.error = std::string(e.what()) + "\nRun with --help for more information.\n";
    result.exitStatus = kExitBadInput;
    return result;
  }
  result.run = true;
  return result;
}

AddressRange SplitRange(const std::string& text) {
  std::size_t dash = text.find('-');
  if (dash == std::string::npos) return {text, ""};
  return {text.substr(0, dash), text.substr(dash + 1)};
}

namespace {

// The report is written to a temporary file beside the target ("NAME.XXXXXX") and renamed
// over it, so the target must be absent or a regular file (a rename would replace a device,
// a symlink or a FIFO with a file), its folder must take files, and the temporary name must
// fit the file system's limit too.
std::string CheckReportTarget(const std::string& path, const char* what) {
  if (path.empty()) return {};
  auto refuse = [&path, what](const std::string& reason) {
    return std::string("Cannot write the ") + what + " " + path + ": " + reason;
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

}  // namespace

std::string CheckOutputFolder() {
  // Tried rather than asked: access() says yes to root in a read-only folder, and only a
  // file made and removed again shows that the folder takes files now.
  char name[] = "./.pathmon-cli-check-XXXXXX";
  const int fd = ::mkstemp(name);
  if (fd < 0) {
    char cwd[4096];
    const int error = errno;
    std::string folder = ::getcwd(cwd, sizeof cwd) != nullptr ? cwd : ".";
    return "Cannot write the history files in the current directory " + folder + ": " +
           std::strerror(error);
  }
  ::close(fd);
  ::unlink(name);
  return {};
}

std::string CheckArguments(const CliArguments& arguments, RunPlan& plan) {
  RunPlan accepted;
  CommunityCheck community = CheckCommunityInput(arguments.community, arguments.duration);
  if (!community.message.empty()) return community.message;
  ApplyCommunityInput(community, arguments.community, accepted.settings,
                      [&accepted](const char* text) { accepted.community = text; });

  for (const std::string& text : arguments.ranges) accepted.ranges.push_back(SplitRange(text));
  for (const std::string& address : arguments.addresses) {
    accepted.ranges.push_back({address, address});
  }
  if (accepted.ranges.empty()) return kMsgNoAddress;
  for (const AddressRange& range : accepted.ranges) {
    RangeCheck check = CheckAddressRange(range.first.c_str(), range.last.c_str());
    if (!check.message.empty()) return check.message;
  }

  accepted.minMos = ParseMinMos(arguments.minMos);
  if (accepted.minMos < 0) return kMsgBadMinMos;
  if (arguments.jsonPath != kJsonToStdout) {
    if (std::string message = CheckReportTarget(arguments.jsonPath, "JSON report");
        !message.empty()) {
      return message;
    }
  }
  if (std::string message = CheckReportTarget(arguments.reportPath, "site report");
      !message.empty()) {
    return message;
  }
  if (!arguments.reportPath.empty() && arguments.reportPath == arguments.jsonPath) {
    return "Cannot write the site report " + arguments.reportPath +
           ": the JSON report goes to the same file";
  }
  if (std::string message = CheckOutputFolder(); !message.empty()) return message;
  accepted.serials = arguments.serials;
  accepted.fetchLogs = arguments.fetchLogs;
  accepted.jsonPath = arguments.jsonPath;
  accepted.reportPath = arguments.reportPath;
  accepted.trace = arguments.trace;
  plan = std::move(accepted);
  return {};
}

}  // namespace pathmon::cli
