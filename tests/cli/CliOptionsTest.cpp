// SPDX-License-Identifier: Apache-2.0
// The command line's checks: the community dialog's and the add-phones dialog's rules and
// messages, in their order, and the JSON report's target.

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "Version.h"
#include "cli/CliOptions.h"
#include "frontend/Messages.h"
#include "support/FileObstacles.h"
#include "support/TempDir.h"

namespace pathmon::cli {
namespace {

ParseResult Parse(std::vector<std::string> words) {
  std::vector<const char*> argv = {"pathmon-cli"};
  for (const std::string& w : words) argv.push_back(w.c_str());
  return ParseCommandLine(static_cast<int>(argv.size()), argv.data());
}

std::string Check(std::vector<std::string> words, RunPlan* plan = nullptr) {
  ParseResult parsed = Parse(std::move(words));
  EXPECT_TRUE(parsed.run) << parsed.error;
  RunPlan local;
  return CheckArguments(parsed.arguments, plan != nullptr ? *plan : local);
}

// A community file: its path.
std::string WriteFile(const std::string& dir, const std::string& name, const std::string& text,
                      mode_t mode) {
  std::ofstream(dir + "/" + name) << text;
  ::chmod((dir + "/" + name).c_str(), mode);
  return dir + "/" + name;
}

TEST(CliParse, DefaultsAreTheDialogsAndOptionsRepeat) {
  ParseResult parsed = Parse({"--range", "10.0.0.1-10.0.0.9", "--address", "10.0.1.5",
                              "--range", "10.0.2.1-10.0.2.2", "--serial", "SN1", "--serial",
                              "SN2", "--log", "--json", "out.json"});
  ASSERT_TRUE(parsed.run);
  const CliArguments& a = parsed.arguments;
  EXPECT_EQ(a.community, "orchid");
  EXPECT_EQ(a.duration, "5");
  EXPECT_EQ(a.ranges, (std::vector<std::string>{"10.0.0.1-10.0.0.9", "10.0.2.1-10.0.2.2"}));
  EXPECT_EQ(a.addresses, std::vector<std::string>{"10.0.1.5"});
  EXPECT_EQ(a.serials, (std::vector<std::string>{"SN1", "SN2"}));
  EXPECT_TRUE(a.fetchLogs);
  EXPECT_EQ(a.jsonPath, "out.json");
}

TEST(CliParse, AMissingValueIsBadInputAndHelpIsNot) {
  ParseResult missing = Parse({"--duration"});
  EXPECT_FALSE(missing.run);
  EXPECT_EQ(missing.exitStatus, kExitBadInput);

  ParseResult help = Parse({"--help"});
  EXPECT_FALSE(help.run);
  EXPECT_EQ(help.exitStatus, 0);
  EXPECT_NE(help.output.find("--range"), std::string::npos);
  EXPECT_TRUE(help.error.empty());

  ParseResult version = Parse({"--version"});
  EXPECT_FALSE(version.run);
  EXPECT_EQ(version.output, std::string("pathmon-cli ") + kVersion + "\n");
}

// A mistyped option is answered with the option meant, when one is near enough by name.
TEST(CliParse, AMistypedOptionGetsTheNearestOneByName) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"--comunity", "right"}, "--comunity: no such option; did you mean --community?"},
      {{"--durtaion=5"}, "--durtaion: no such option; did you mean --duration?"},
      {{"-Q"}, "-Q: no such option; did you mean -q?"},
      {{"--metrics", "x"},
       "--metrics: no such option; did you mean --metrics-listen or --metrics-file?"},
      {{"--frobnicate"}, "--frobnicate: no such option"},
  };
  for (const auto& [words, message] : cases) {
    ParseResult bad = Parse(words);
    EXPECT_FALSE(bad.run);
    EXPECT_EQ(bad.exitStatus, kExitBadInput);
    EXPECT_EQ(bad.error, message + "\nRun with --help for more information.\n");
  }
}

// The help fits 100 columns and names each value by what it is: not by CLI11's type name,
// nor with a default ("TEXT=5") that reads as part of what to type.
TEST(CliParse, TheHelpFitsOneHundredColumnsAndNamesEveryValue) {
  std::istringstream lines(Parse({"--help"}).output);
  for (std::string line; std::getline(lines, line);) {
    EXPECT_LE(line.size(), kHelpColumns) << line;
    EXPECT_FALSE(std::regex_search(line, std::regex("^  -\\S+ (TEXT|INT|FLOAT|\\S*=)"))) << line;
  }
}

TEST(CliCheck, OverlongCommunityNeverReachesTheDirectory) {
  RunPlan plan;
  plan.community = "untouched";
  EXPECT_EQ(Check({"--community", std::string(256, 'c'), "--address", "10.0.0.1"}, &plan),
            "--community: " + FillMessage(kMsgTextTooLong, "255", ""));
  EXPECT_EQ(plan.community, "untouched");
}

// A subnet is its hosts; the addresses follow the ranges.
TEST(CliCheck, RangesSubnetsAndAddressesGiveThePlansRangesInOrder) {
  RunPlan plan;
  EXPECT_EQ(Check({"--range", "10.0.0.0-10.0.0.255", "--address", "10.0.5.5", "--range",
                   "10.0.3.9", "--range", "10.0.2.7/24", "--range", "10.0.4.5/31", "--range",
                   "10.0.6.6/32"},
                  &plan),
            "");
  std::vector<std::string> ranges;
  for (const AddressRange& r : plan.ranges) ranges.push_back(r.first + "-" + r.last);
  EXPECT_EQ(ranges, (std::vector<std::string>{"10.0.0.0-10.0.0.255", "10.0.3.9-10.0.3.9",
                                              "10.0.2.1-10.0.2.254", "10.0.4.4-10.0.4.5",
                                              "10.0.6.6-10.0.6.6", "10.0.5.5-10.0.5.5"}));
}

// The report is renamed over its target at the end of the run: anything but an absent
// name or a regular file would be replaced (a device, a symlink, a FIFO), a directory or a
// name too long for the temporary file would lose the report after the whole run.
TEST(CliCheck, JsonReportTargetMustBeAbsentOrARegularFileInAWritableFolder) {
  const pathmon::testing::TempDir temp("cli-opts");
  const std::string& d = temp.Path();
  ASSERT_EQ(::symlink("/dev/null", (d + "/link.json").c_str()), 0);
  ASSERT_EQ(::mkfifo((d + "/fifo.json").c_str(), 0644), 0);
  ASSERT_EQ(::mkdir((d + "/dir.json").c_str(), 0755), 0);
  ::close(::creat((d + "/old.json").c_str(), 0644));
  struct Case {
    std::string target;
    std::string reason;  // empty: accepted
  };
  const std::vector<Case> cases = {
      {d + "/r.json", ""},
      {d + "/old.json", ""},
      {"-", ""},  // standard output
      {d + "/no/r.json", "No such file or directory"},
      {d + "/", "Is a directory"},
      {d + "/dir.json", "Is a directory"},
      {d + "/link.json", "not a regular file"},
      {d + "/fifo.json", "not a regular file"},
      {"/dev/null", "not a regular file"},
      {d + "/" + std::string(250, 'r'), "File name too long"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.target);
    RunPlan plan;
    std::string message = Check({"--address", "10.0.0.1", "--json", c.target}, &plan);
    if (c.reason.empty()) {
      EXPECT_EQ(message, "");
      EXPECT_EQ(plan.jsonPath, c.target);
    } else {
      EXPECT_EQ(message, "Cannot write the JSON report " + c.target + ": " + c.reason);
    }
  }
}

// The history files go to the current directory: one that takes no file fails the run
// before anything is sent, not silently at every cycle. Root writes into a folder without
// write permission, so the folder is a read-only file system.
TEST(CliCheck, AFolderThatTakesNoFileIsRefusedUpFront) {
  const pathmon::testing::TempDir temp("cli-ro");
  const char* dir = temp.Path().c_str();
  std::string why;
  if (!pathmon::testing::MountSmallTmpfs(dir, 65536, true, &why)) GTEST_SKIP() << why;
  char cwd[4096];
  ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
  EXPECT_EQ(CheckOutputFolder(), "");
  ASSERT_EQ(::chdir(dir), 0);
  EXPECT_EQ(Check({"--address", "10.0.0.1"}),
            "Cannot write the history files in the current directory " + std::string(dir) +
                ": Read-only file system");
  ASSERT_EQ(::chdir(cwd), 0);
  pathmon::testing::Unmount(dir);
}

// Every option by its rule (the dialogs' rules for what the dialogs ask), each named in its
// message; only the first failure is said: the community dialog's before the add-phones
// dialog's, a later bad range after a good one. The community never comes from a file other
// users may read; an explicit --community wins over the environment.
TEST(CliCheck, EveryOptionsRuleAndMessageAndTheFirstFailureWins) {
  const pathmon::testing::TempDir temp("cli-mon");
  const std::string& d = temp.Path();
  const std::string secret = WriteFile(d, "secret", "s3cret\r\nignored\n", 0600);
  const std::string open = WriteFile(d, "open", "s3cret\n", 0640);
  struct Case {
    std::vector<std::string> args;
    std::string message;  // empty: accepted
    std::string community = "";
    int32_t minutes = 0, limit = 0;
    double minMos = 0;  // no voice rule
  };
  const std::string range = "--duration: " + FillMessage(kMsgIntegerRange, "1", "60");
  const std::string integer = std::string("--duration: ") + kMsgEnterInteger;
  const std::string tooLong = std::string("--duration: ") + kMsgDefaultCommunityDuration;
  auto badRange = [](const char* message) { return std::string("--range: ") + message; };
  auto NotListenable = [](const std::string& text) {
    return "--metrics-listen: " + text +
           " is no ADDR:PORT (an IPv4 address, or an IPv6 one in brackets, and a port: for "
           "example 127.0.0.1:9464)";
  };
  std::vector<Case> cases = {
      {{}, "", "orchid", 5, 2},
      {{"--duration", "0"}, range},
      {{"--duration", "61"}, range},
      {{"--duration=-3"}, range},
      {{"--duration", "abc"}, integer},
      {{"--duration", "2.5"}, integer},
      {{"--duration", ""}, integer},
      {{"--duration", " 12\t", "--community", "lab"}, "", "lab", 12, 10},
      {{"--duration", "6"}, tooLong},
      {{"--community", "OrChId", "--duration", "6"}, tooLong},
      // A blank makes it another community, as in the dialog.
      {{"--community", "orchid ", "--duration", "60"}, "", "orchid ", 60, 10},
      {{"--community", std::string(255, 'c')}, "", std::string(255, 'c'), 5, 10},
      {{"--range=-10.0.0.1"}, badRange(kMsgInvalidStart)},
      {{"--range", "0.0.0.0-10.0.0.1"}, badRange(kMsgInvalidStart)},
      {{"--range", "bad-worse"}, badRange(kMsgInvalidStart)},  // only the first failure
      {{"--range", "10.0.0.1-255.255.255.255"}, badRange(kMsgInvalidEnd)},
      {{"--range", "10.0.0.9-10.0.0.1"}, badRange(kMsgInvalidRange)},
      {{"--range", "200.0.0.1-10.0.0.1"}, badRange(kMsgInvalidRange)},
      {{"--range", "10.0.0.0-10.0.1.0"}, badRange(kMsgRangeTooLarge)},
      {{"--range", "10.0.2.7/23"}, badRange(kMsgRangeTooLarge)},  // over a /24
      {{"--range", "10.0.2.0/33"}, badRange(kMsgInvalidStart)},
      {{"--address", "10.0.0.256"}, std::string("--address: ") + kMsgInvalidStart},
      {{"--duration", "0", "--range", "10.0.0.9-10.0.0.1"}, range},
      {{"--range", "10.0.0.1-10.0.0.2", "--range", "10.0.0.9-10.0.0.1"},
       badRange(kMsgInvalidRange)},
      {{"--min-mos", "3.6"}, "", "orchid", 5, 2, 3.6},
      {{"--min-mos", "1"}, "", "orchid", 5, 2, 1},
      {{"--min-mos", "4.5"}, "", "orchid", 5, 2, 4.5},
      {{"--community-file", secret}, "", "s3cret", 5, 10},
      {{"--community-file", open},
       "--community-file: " + open +
           ": other users may read it (mode 0640): make it readable by its owner only (chmod "
           "600)"},
      {{"--community-file", d + "/none"},
       "--community-file: " + d + "/none: No such file or directory"},
      {{"--community-file", secret, "--community", "x"},
       "--community-file: not together with --community"},
      {{"--community-file", secret, "--duration", "7"}, "", "s3cret", 7, 10},
      {{"--monitor", "--rescan", "0"}, "--rescan: " + FillMessage(kMsgIntegerRange, "1", "1440")},
      {{"--monitor", "--rescan", "x"}, std::string("--rescan: ") + kMsgEnterInteger},
      {{"--rescan", "5"}, "--rescan: only with --monitor (a one-off run scans once)"},
      {{"--monitor", "--json", d + "/r.json"},
       "--json: a monitor run has no end to report; --jsonl streams its results"},
      {{"--monitor", "--log"}, "--log: not together with --monitor"},
      {{"--json", "-", "--jsonl", "-"},
       "--jsonl: standard output already carries the JSON report (--json -)"},
      {{"--metrics-listen", "127.0.0.1:9464"}, "", "orchid", 5, 2},
      {{"--metrics-listen", "9464"}, NotListenable("9464")},
      {{"--metrics-listen", "127.0.0.1:70000"}, NotListenable("127.0.0.1:70000")},
      {{"--metrics-listen", "9465,127.0.0.1:9464"}, NotListenable("9465,127.0.0.1:9464")},
      {{"--metrics-listen", "localhost:9464"}, NotListenable("localhost:9464")},
      {{"--metrics-listen", "::1:9464"}, NotListenable("::1:9464")},
      {{"--metrics-file", d}, "--metrics-file: Cannot write the metrics file " + d +
                                  ": Is a directory"},
      {{"--output-dir", d + "/none"},
       "--output-dir: Cannot write the history files in " + d +
           "/none: No such file or directory"},
      {{"-q", "-v"}, "--quiet: not together with --verbose"},
      {{"--sites", d + "/none.toml", "--range", "10.0.0.1-10.0.0.2"},
       "--range: not together with --sites"},
  };
  for (const char* bad : {"0.99", "4.51", "abc", "", "3,6", "-3.6", "nan", "inf", "1e0", " 3.6"}) {
    cases.push_back({{"--min-mos", bad}, kMsgBadMinMos});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args) + " " + c.message);
    std::vector<std::string> args = c.args;
    if (std::find(args.begin(), args.end(), "--sites") == args.end()) {
      args.insert(args.end(), {"--address", "10.0.0.1"});
    }
    RunPlan plan;
    EXPECT_EQ(Check(args, &plan), c.message);
    if (c.message.empty()) {
      EXPECT_EQ(plan.community, c.community);
      EXPECT_EQ(plan.settings.durationMinutes, c.minutes);
      EXPECT_EQ(plan.settings.maxConcurrentTests, c.limit);
      EXPECT_EQ(plan.minMos, c.minMos);
    }
  }
  EXPECT_EQ(Check({}), kMsgNoAddress);

  ::setenv(kCommunityVariable, "fromenv", 1);
  RunPlan plan;
  EXPECT_EQ(Check({"--address", "10.0.0.1"}, &plan), "");
  EXPECT_EQ(plan.community, "fromenv");
  EXPECT_EQ(Check({"--address", "10.0.0.1", "--community", "given"}, &plan), "");
  EXPECT_EQ(plan.community, "given");
  ::unsetenv(kCommunityVariable);
}

TEST(CliCheck, SitesFileTakesTheOptionsRules) {
  const pathmon::testing::TempDir temp("cli-sites");
  const std::string& d = temp.Path();
  WriteFile(d, "a.community", "alpha\n", 0600);
  WriteFile(d, "open.community", "beta\n", 0644);
  const std::string good =
      "[[site]]\nname = \"a\"\nranges = [\"10.0.0.1-10.0.0.9\"]\n"
      "community-file = \"a.community\"\nduration = 7\nserials = [\"SN1\"]\n"
      "[[site]]\nname = \"b\"\naddresses = [\"10.0.1.5\"]\n";
  struct Case {
    std::string text;
    std::string message;  // after "--sites: FILE: "; empty: accepted
  };
  const std::vector<Case> cases = {
      {good, ""},
      {"[[site]]\nname = \"a\"\nranges = [\"10.0.0.9-10.0.0.1\"]\n",
       std::string("site a: ranges: ") + kMsgInvalidRange},
      {"[[site]]\nname = \"a\"\naddresses = [\"10.0.0.256\"]\n",
       std::string("site a: addresses: ") + kMsgInvalidStart},
      {"[[site]]\nname = \"a\"\nranges = [\"10.0.0.1-10.0.0.2\"]\nduration = 61\n",
       "site a: duration: " + FillMessage(kMsgIntegerRange, "1", "60")},
      {"[[site]]\nname = \"a\"\nranges = [\"10.0.0.1-10.0.0.2\"]\nduration = \"5\"\n",
       std::string("site a: duration: ") + kMsgEnterInteger},
      {"[[site]]\nname = \"a\"\nranges = [\"10.0.0.1-10.0.0.2\"]\n"
       "community-file = \"open.community\"\n",
       "site a: --community-file: " + d +
           "/open.community: other users may read it (mode 0644): make it readable by its "
           "owner only (chmod 600)"},
      {"[[site]]\nname = \"a\"\n", "site a: no ranges or addresses"},
      {"[[site]]\nname = \"a\"\nrange = [\"10.0.0.1-10.0.0.2\"]\n",
       "site a: range: unknown key"},
      {"[[site]]\nname = \"a\"\naddresses = [\"10.0.0.1\"]\n"
       "[[site]]\nname = \"a\"\naddresses = [\"10.0.0.2\"]\n",
       "site a: a second site of this name"},
      {"[[site]]\nranges = [\"10.0.0.1-10.0.0.2\"]\n", "site 1: name: a text was expected"},
      {"", "no [[site]] table"},
      {"[[site]\n", "line 1: "},  // the parser's own words follow
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    std::ofstream(d + "/sites.toml", std::ios::trunc) << c.text;
    RunPlan plan;
    const std::string message = Check({"--sites", d + "/sites.toml", "--community", "lab"}, &plan);
    if (c.message.empty()) {
      EXPECT_EQ(message, "");
    } else {
      EXPECT_EQ(message.substr(0, ("--sites: " + d + "/sites.toml: " + c.message).size()),
                "--sites: " + d + "/sites.toml: " + c.message);
    }
  }
  std::ofstream(d + "/sites.toml", std::ios::trunc) << good;
  RunPlan plan;
  ASSERT_EQ(Check({"--sites", d + "/sites.toml", "--community", "lab", "--duration", "3"}, &plan),
            "");
  ASSERT_EQ(plan.sites.size(), 2u);
  EXPECT_EQ(plan.sites[0].name, "a");
  EXPECT_EQ(plan.sites[0].community, "alpha");
  EXPECT_EQ(plan.sites[0].durationMinutes, 7);
  EXPECT_EQ(plan.sites[0].serials, std::vector<std::string>{"SN1"});
  EXPECT_EQ(plan.sites[1].community, "lab");  // the command line's
  EXPECT_EQ(plan.sites[1].durationMinutes, 3);
  ASSERT_EQ(plan.sites[1].ranges.size(), 1u);
  EXPECT_EQ(plan.sites[1].ranges[0].first, "10.0.1.5");
  EXPECT_TRUE(plan.sitesFromFile);
}

}  // namespace
}  // namespace pathmon::cli
