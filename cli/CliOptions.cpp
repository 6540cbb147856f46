#include "cli/CliOptions.h"

#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
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
  app.add_option("--json", a.jsonPath, "write every phone and cycle result to FILE")
      ->type_name("FILE");
  app.add_flag("--trace", a.trace, "write the diagnostic trace lines to stderr");
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

std::string CheckJsonTarget(const std::string& path) {
  if (path.empty()) return {};
  std::size_t slash = path.rfind('/');
  std::string dir = slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
  if (path.back() == '/' || ::access(dir.c_str(), W_OK | X_OK) != 0) {
    int error = path.back() == '/' ? EISDIR : errno;
    return "Cannot write the JSON report " + path + ": " + std::strerror(error);
  }
  return {};
}

}  // namespace

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

  if (std::string message = CheckJsonTarget(arguments.jsonPath); !message.empty()) {
    return message;
  }
  accepted.serials = arguments.serials;
  accepted.fetchLogs = arguments.fetchLogs;
  accepted.jsonPath = arguments.jsonPath;
  accepted.trace = arguments.trace;
  plan = std::move(accepted);
  return {};
}

}  // namespace pathmon::cli
