// The command line's checks: the community dialog's and the add-phones dialog's rules and
// messages, in their order, and the JSON report's target.

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "Version.h"
#include "cli/CliOptions.h"
#include "frontend/Messages.h"
#include "support/FileObstacles.h"

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

TEST(CliParse, UnknownOptionsAreBadInputAndHelpIsNot) {
  ParseResult bad = Parse({"--rang", "10.0.0.1-10.0.0.2"});
  EXPECT_FALSE(bad.run);
  EXPECT_EQ(bad.exitStatus, kExitBadInput);
  EXPECT_NE(bad.error.find("--rang"), std::string::npos);

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

TEST(CliCheck, DurationTakesTheCommunityDialogsRulesAndMessages) {
  const std::string range = "--duration: " + FillMessage(kMsgIntegerRange, "1", "60");
  const std::string integer = std::string("--duration: ") + kMsgEnterInteger;
  EXPECT_EQ(Check({"--duration", "0", "--address", "10.0.0.1"}), range);
  EXPECT_EQ(Check({"--duration", "61", "--address", "10.0.0.1"}), range);
  EXPECT_EQ(Check({"--duration=-3", "--address", "10.0.0.1"}), range);
  EXPECT_EQ(Check({"--duration", "abc", "--address", "10.0.0.1"}), integer);
  EXPECT_EQ(Check({"--duration", "2.5", "--address", "10.0.0.1"}), integer);
  EXPECT_EQ(Check({"--duration", "", "--address", "10.0.0.1"}), integer);
  RunPlan plan;
  EXPECT_EQ(Check({"--duration", " 12\t", "--community", "lab", "--address", "10.0.0.1"}, &plan),
            "");
  EXPECT_EQ(plan.settings.durationMinutes, 12);
}

TEST(CliCheck, DefaultCommunityLimitsDurationAndConcurrency) {
  const std::string tooLong = std::string("--duration: ") + kMsgDefaultCommunityDuration;
  EXPECT_EQ(Check({"--duration", "6", "--address", "10.0.0.1"}), tooLong);
  EXPECT_EQ(Check({"--community", "OrChId", "--duration", "6", "--address", "10.0.0.1"}),
            tooLong);

  RunPlan plan;
  EXPECT_EQ(Check({"--address", "10.0.0.1"}, &plan), "");
  EXPECT_EQ(plan.community, "orchid");
  EXPECT_EQ(plan.settings.durationMinutes, 5);
  EXPECT_EQ(plan.settings.maxConcurrentTests, 2);

  // A blank makes it another community, as in the dialog.
  EXPECT_EQ(Check({"--community", "orchid ", "--duration", "60", "--address", "10.0.0.1"}, &plan),
            "");
  EXPECT_EQ(plan.community, "orchid ");
  EXPECT_EQ(plan.settings.durationMinutes, 60);
  EXPECT_EQ(plan.settings.maxConcurrentTests, 10);
}

TEST(CliCheck, OverlongCommunityNeverReachesTheDirectory) {
  RunPlan plan;
  plan.community = "untouched";
  EXPECT_EQ(Check({"--community", std::string(256, 'c'), "--address", "10.0.0.1"}, &plan),
            "--community: " + FillMessage(kMsgTextTooLong, "255", ""));
  EXPECT_EQ(plan.community, "untouched");
  EXPECT_EQ(Check({"--community", std::string(255, 'c'), "--address", "10.0.0.1"}, &plan), "");
  EXPECT_EQ(plan.community.size(), 255u);
}

TEST(CliCheck, RangesTakeTheAddPhonesDialogsRulesAndMessages) {
  auto range = [](const char* message) { return std::string("--range: ") + message; };
  EXPECT_EQ(Check({"--range=-10.0.0.1"}), range(kMsgInvalidStart));
  EXPECT_EQ(Check({"--range", "0.0.0.0-10.0.0.1"}), range(kMsgInvalidStart));
  EXPECT_EQ(Check({"--range", "bad-worse"}), range(kMsgInvalidStart));  // only the first failure
  EXPECT_EQ(Check({"--range", "10.0.0.1-255.255.255.255"}), range(kMsgInvalidEnd));
  EXPECT_EQ(Check({"--range", "10.0.0.1"}), range(kMsgInvalidEnd));  // no end given
  EXPECT_EQ(Check({"--range", "10.0.0.9-10.0.0.1"}), range(kMsgInvalidRange));
  EXPECT_EQ(Check({"--range", "200.0.0.1-10.0.0.1"}), range(kMsgInvalidRange));
  EXPECT_EQ(Check({"--range", "10.0.0.0-10.0.1.0"}), range(kMsgRangeTooLarge));
  EXPECT_EQ(Check({"--address", "10.0.0.256"}), std::string("--address: ") + kMsgInvalidStart);

  RunPlan plan;
  EXPECT_EQ(Check({"--range", "10.0.0.0-10.0.0.255", "--address", "10.0.5.5"}, &plan), "");
  ASSERT_EQ(plan.ranges.size(), 2u);
  EXPECT_EQ(plan.ranges[0].first, "10.0.0.0");
  EXPECT_EQ(plan.ranges[0].last, "10.0.0.255");
  EXPECT_EQ(plan.ranges[1].first, "10.0.5.5");  // an address is the range A-A
  EXPECT_EQ(plan.ranges[1].last, "10.0.5.5");
}

TEST(CliCheck, ChecksComeInTheProgramsOrderAndFirstFailureWins) {
  // The community dialog comes before the add-phones dialog.
  EXPECT_EQ(Check({"--duration", "0", "--range", "10.0.0.9-10.0.0.1"}),
            "--duration: " + FillMessage(kMsgIntegerRange, "1", "60"));
  // A later bad range is still refused when an earlier one is good.
  EXPECT_EQ(Check({"--range", "10.0.0.1-10.0.0.2", "--range", "10.0.0.9-10.0.0.1"}),
            std::string("--range: ") + kMsgInvalidRange);
  EXPECT_EQ(Check({}), kMsgNoAddress);
}

// The report is renamed over its target at the end of the run: anything but an absent
// name or a regular file would be replaced (a device, a symlink, a FIFO), a directory or a
// name too long for the temporary file would lose the report after the whole run.
TEST(CliCheck, JsonReportTargetMustBeAbsentOrARegularFileInAWritableFolder) {
  char dir[] = "/tmp/pathmon-cli-opts-XXXXXX";
  ASSERT_NE(::mkdtemp(dir), nullptr);
  const std::string d = dir;
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
  std::filesystem::remove_all(d);
}

// The history files go to the current directory: one that takes no file fails the run
// before anything is sent, not silently at every cycle. Root writes into a folder without
// write permission, so the folder is a read-only file system.
TEST(CliCheck, AFolderThatTakesNoFileIsRefusedUpFront) {
  char dir[] = "/tmp/pathmon-cli-ro-XXXXXX";
  ASSERT_NE(::mkdtemp(dir), nullptr);
  std::string why;
  if (!pathmon::testing::MountSmallTmpfs(dir, 65536, true, &why)) {
    ::rmdir(dir);
    GTEST_SKIP() << why;
  }
  char cwd[4096];
  ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
  EXPECT_EQ(CheckOutputFolder(), "");
  ASSERT_EQ(::chdir(dir), 0);
  EXPECT_EQ(Check({"--address", "10.0.0.1"}),
            "Cannot write the history files in the current directory " + std::string(dir) +
                ": Read-only file system");
  ASSERT_EQ(::chdir(cwd), 0);
  pathmon::testing::Unmount(dir);
  ::rmdir(dir);
}

}  // namespace
}  // namespace pathmon::cli
