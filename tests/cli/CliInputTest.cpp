// SPDX-License-Identifier: Apache-2.0
// pathmon-cli refusing bad input with the dialogs' messages before any traffic, a scan that
// finds no phone, and Ctrl-C in the middle of tests.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>
#include <thread>

#include "JsonValue.h"
#include "cli/CliOptions.h"
#include "frontend/Messages.h"
#include "support/ChildProcess.h"
#include "support/SimProcess.h"

namespace pathmon::testing {
namespace {

constexpr int kQuickLimitMs = 30000;

TEST(CliInput, BadInputGetsTheDialogsMessageAndSendsNothing) {
  SimProcess sim({"--phone", "127.60.3.1 serial=SN31"});
  ASSERT_TRUE(sim.Ok());
  struct Case {
    std::vector<std::string> args;
    std::string message;
  };
  const std::vector<Case> cases = {
      {{"--range", "127.60.3.9-127.60.3.1"}, std::string("--range: ") + kMsgInvalidRange},
      {{"--range", "127.60.3.1-127.60.4.1"}, std::string("--range: ") + kMsgRangeTooLarge},
      {{"--range", "127.60.3.1-127.60.3.999"}, std::string("--range: ") + kMsgInvalidEnd},
      {{"--address", "127.60.3.1", "--duration", "0"},
       "--duration: " + FillMessage(kMsgIntegerRange, "1", "60")},
      {{"--address", "127.60.3.1", "--duration", "ten"},
       std::string("--duration: ") + kMsgEnterInteger},
      {{"--address", "127.60.3.1", "--duration", "6"},
       std::string("--duration: ") + kMsgDefaultCommunityDuration},
      {{"--address", "127.60.3.1", "--community", "ORCHID", "--duration", "6"},
       std::string("--duration: ") + kMsgDefaultCommunityDuration},
      {{"--duration", "1"}, cli::kMsgNoAddress},
      {{"--address", "127.60.3.1", "--dscp", "64"}, std::string("--dscp: ") + kMsgBadDscp},
      {{"--address", "127.60.3.1", "--dscp", "XY"}, std::string("--dscp: ") + kMsgBadDscp},
  };
  for (const Case& c : cases) {
    TempDir dir;
    std::string out, err;
    std::vector<std::string> args = c.args;
    args.insert(args.end(), {"--json", "report.json"});
    EXPECT_EQ(RunProgram(Cli(args), dir.Path(), kQuickLimitMs, &out, &err), cli::kExitBadInput)
        << c.message;
    EXPECT_EQ(err, c.message + "\n");
    EXPECT_EQ(out, "");
    EXPECT_EQ(dir.Names(), (std::vector<std::string>{".stderr", ".stdout"}));  // no report
  }
  auto counters = sim.Stop();
  EXPECT_EQ(counters["127.60.3.1"].snmpRequests, 0);
  EXPECT_EQ(counters["127.60.3.1"].controlMessages, 0);
}

// A FIFO where the user named a file to read is refused at once, in the tool's words: its
// open must neither wait for a writer nor keep the signals from ending the run.
TEST(CliInput, AFileToReadThatIsNoRegularFileIsRefusedAtOnce) {
  TempDir dir;
  ASSERT_EQ(::mkfifo(dir.File("fifo").c_str(), 0600), 0);
  std::ofstream(dir.File("sites.toml")) << "[[site]]\nname = \"north\"\nranges = "
                                           "[\"127.60.3.5-127.60.3.6\"]\ncommunity-file = \"fifo\"\n";
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"--community-file", "fifo", "--address", "127.60.3.5"},
       "--community-file: fifo: not a regular file"},
      {{"--sites", "fifo"}, "--sites: fifo: not a regular file"},
      {{"--sites", "sites.toml"},
       "--sites: sites.toml: site north: --community-file: fifo: not a regular file"},
  };
  for (const auto& [args, message] : cases) {
    std::string err;
    EXPECT_EQ(RunProgram(Cli(args), dir.Path(), 5000, nullptr, &err), cli::kExitBadInput)
        << message;
    EXPECT_EQ(err, message + "\n");
  }
}

TEST(CliInput, UnknownSerialNumberStartsNoTest) {
  SimProcess sim({"--phone", "127.60.3.2 serial=SN32 community=lab"});
  ASSERT_TRUE(sim.Ok());
  TempDir dir;
  std::string out, err;
  EXPECT_EQ(RunProgram(Cli({"--address", "127.60.3.2", "--community", "lab", "--duration", "1",
                            "--serial", "sn32", "--serial", "NOPE"}),
                       dir.Path(), kQuickLimitMs, &out, &err),
            cli::kExitBadInput);
  EXPECT_EQ(err, FillMessage(cli::kMsgUnknownSerial, "NOPE", "") + "\n");
  auto counters = sim.Stop();
  EXPECT_GT(counters["127.60.3.2"].snmpRequests, 0);  // the scan had to run to know
  EXPECT_EQ(counters["127.60.3.2"].controlMessages, 0);
  EXPECT_EQ(counters["127.60.3.2"].framesReceived, 0);
}

TEST(CliInput, NoPhoneFoundEndsWithTheDialogsMessage) {
  SimProcess sim({"--phone", "127.60.3.4 notphone"});
  ASSERT_TRUE(sim.Ok());
  TempDir dir;
  std::string out, err;
  EXPECT_EQ(RunProgram(Cli({"--address", "127.60.3.4", "--json", "report.json"}), dir.Path(),
                       kQuickLimitMs, &out, &err),
            cli::kExitNothingRun);
  // The agent answered, but not as a phone.
  EXPECT_EQ(err, std::string(kMsgNoPhones) + "\nOf the addresses scanned, 1 answered SNMP and 0 "
                                             "timed out.\n");
  EXPECT_NE(out.find("Scanning 127.60.3.4-127.60.3.4: 1 scanned, 0 remaining, 0 phones found"),
            std::string::npos)
      << out;
  JsonValue report;
  std::string error;
  ASSERT_TRUE(ParseJson(ReadFile(dir.File("report.json")), report, error)) << error;
  EXPECT_EQ(report["exitStatus"].get<double>(), cli::kExitNothingRun);
  EXPECT_TRUE(report["phones"].empty());
}

// The output is no terminal: each test's start is an event line of its own.
long StartedTests(const std::string& out) {
  const std::regex started("  test started\n");
  return std::distance(std::sregex_iterator(out.begin(), out.end(), started), {});
}

TEST(CliInput, InterruptStopsEveryTestWithItsFinalHistoryLine) {
  SimProcess sim({"--phone", "127.60.4.1 serial=SN41 user=frank community=lab",
                  "--phone", "127.60.4.2 serial=SN42 user=gina community=lab delay=30"});
  ASSERT_TRUE(sim.Ok());
  TempDir dir;
  ChildProcess cli(Cli({"--range", "127.60.4.1-127.60.4.2", "--community", "lab", "--duration", "5",
                        "--json", "report.json"}),
                   dir.Path());
  // Watching another process's output: there is no clock to inject into it.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (StartedTests(cli.Stdout()) < 2 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  ASSERT_EQ(StartedTests(cli.Stdout()), 2) << cli.Stdout() << cli.Stderr();
  std::this_thread::sleep_for(std::chrono::seconds(2));  // some frames to count

  auto interrupted = std::chrono::steady_clock::now();
  cli.Signal(SIGINT);
  int status = cli.Wait(20000);
  auto took = std::chrono::steady_clock::now() - interrupted;
  EXPECT_EQ(status, 128 + SIGINT) << cli.Stderr();
  EXPECT_LT(took, std::chrono::seconds(8));
  EXPECT_NE(cli.Stderr().find("Interrupted"), std::string::npos);

  for (const char* name : {"frank_SN41.txt", "gina_SN42.txt"}) {
    std::string history = ReadFile(dir.File(name));
    EXPECT_NE(history.find("<PATHMON>INTERRUPTIONS:"), std::string::npos) << name;
    EXPECT_EQ(std::count(history.begin(), history.end(), '\n'), 1) << name;
  }
  JsonValue report;
  std::string error;
  ASSERT_TRUE(ParseJson(ReadFile(dir.File("report.json")), report, error)) << error;
  EXPECT_TRUE(report["interrupted"].get<bool>());
  ASSERT_EQ(report["phones"].size(), 2u);
  for (JsonValue phone : report["phones"]) {
    ASSERT_EQ(phone["cycles"].size(), 1u);
    EXPECT_GT(phone["cycles"][0]["sent"].get<double>(), 100);
    EXPECT_EQ(phone["outcome"].get<std::string>(), "incomplete");
    EXPECT_EQ(phone["endReason"].get<std::string>(), "stopped");
  }
  auto counters = sim.Stop();
  EXPECT_GT(counters["127.60.4.1"].framesReceived, 100);
}

TEST(CliInput, AClosedOutputPipeDoesNotCostTheHistoryLines) {
  SimProcess sim({"--phone", "127.60.4.3 serial=SN43 user=hugo community=lab"});
  ASSERT_TRUE(sim.Ok());
  TempDir dir;
  // As in "pathmon-cli ... | head": the reader goes away while the test runs.
  ChildProcess cli(Cli({"--address", "127.60.4.3", "--community", "lab", "--duration", "5",
                        "--json", "report.json"}),
                   dir.Path(), true);
  ASSERT_TRUE(cli.ReadPipeUntil("  test started\n", 30000)) << cli.Stderr();
  cli.ClosePipe();
  std::this_thread::sleep_for(std::chrono::seconds(3));
  EXPECT_FALSE(cli.Exited());
  cli.Signal(SIGTERM);  // the test's end and the summary meet the closed pipe: EPIPE
  EXPECT_EQ(cli.Wait(20000), 128 + SIGTERM) << cli.Stderr();
  std::string history = ReadFile(dir.File("hugo_SN43.txt"));
  EXPECT_EQ(std::count(history.begin(), history.end(), '\n'), 1) << history;
  JsonValue report;
  std::string error;
  ASSERT_TRUE(ParseJson(ReadFile(dir.File("report.json")), report, error)) << error;
  EXPECT_TRUE(report["interrupted"].get<bool>());
  EXPECT_EQ(report["phones"][0]["cycles"].size(), 1u);
  sim.Stop();
}

// A file-size limit (ulimit -f) fails the writes of the history file and of the event
// stream, which are said once and taken back to whole lines; they never kill the run with
// a cut line and no report.
TEST(CliInput, AFileSizeLimitFailsTheWriteWithoutEndingTheRun) {
  SimProcess sim({"--phone", "127.60.4.4 serial=SN44 user=ida community=lab"});
  ASSERT_TRUE(sim.Ok());
  for (const char* file : {"ida_SN44.txt", "events.jsonl"}) {
    SCOPED_TRACE(file);
    TempDir dir;
    const std::string before = std::string(4060, 'x') + "\r\n";  // 34 bytes left
    std::ofstream(dir.File(file), std::ios::binary) << before;
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    rlimit low = saved;
    low.rlim_cur = 4096;  // the next line does not fit
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &low), 0);
    ChildProcess cli(Cli({"--address", "127.60.4.4", "--community", "lab", "--duration", "5",
                          "--jsonl", "events.jsonl"}),
                     dir.Path(), true);
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &saved), 0);
    ASSERT_TRUE(cli.ReadPipeUntil("  test started\n", 30000)) << cli.Stderr();
    cli.ClosePipe();
    cli.Signal(SIGTERM);
    EXPECT_EQ(cli.Wait(20000), 128 + SIGTERM) << cli.Stderr();
    const std::string message = std::string("Cannot write ") + file + ": File too large\n";
    const std::string err = cli.Stderr();
    EXPECT_NE(err.find(message), std::string::npos) << err;
    EXPECT_EQ(err.find(message), err.rfind(message)) << err;
    const std::string after = ReadFile(dir.File(file));
    EXPECT_TRUE(after == before) << after.substr(std::min(after.size(), before.size() - 2));
  }
  sim.Stop();
}

// --dscp EF: the control exchange and every test frame arrive in expedited forwarding
// (DSCP 46), and the reports and the voice history say which class the test used.
TEST(CliInput, TheDscpClassMarksEveryDatagramAndTheReportsSayIt) {
  SimProcess sim({"--phone", "127.60.4.5 serial=SN45 user=jo community=lab"});
  ASSERT_TRUE(sim.Ok());
  TempDir dir;
  ChildProcess cli(Cli({"--address", "127.60.4.5", "--community", "lab", "--dscp", "ef", "--json",
                        "report.json", "--report", "site.html"}),
                   dir.Path(), true);
  ASSERT_TRUE(cli.ReadPipeUntil("  test started\n", 30000)) << cli.Stderr();
  cli.ClosePipe();
  std::this_thread::sleep_for(std::chrono::seconds(1));  // some frames
  cli.Signal(SIGTERM);
  EXPECT_EQ(cli.Wait(20000), 128 + SIGTERM) << cli.Stderr();
  auto counters = sim.Stop();
  const SimPhoneCounters& phone = counters["127.60.4.5"];
  EXPECT_GT(phone.framesReceived, 20);
  EXPECT_EQ(phone.framesByDscp, (std::map<int, long>{{46, phone.framesReceived}}));
  EXPECT_EQ(phone.controlByDscp, (std::map<int, long>{{46, phone.controlMessages}}));
  EXPECT_NE(ReadFile(dir.File("report.json")).find(",\"dscp\":46,"), std::string::npos);
  EXPECT_NE(ReadFile(dir.File("jo_SN45.voice.jsonl")).find(",\"dscp\":46,"), std::string::npos);
  EXPECT_NE(ReadFile(dir.File("site.html")).find("DSCP EF (46)"), std::string::npos);
}

// Early in a scan of silent addresses the walk is still starting probes and every probe
// waits out its SNMP time-outs (12 s): the signal still ends the run within a second or
// two, with the report, here on standard output (--json -), which holds nothing else.
TEST(CliInput, ASignalEarlyInAScanEndsTheRunAtOnce) {
  TempDir dir;
  ChildProcess cli(Cli({"--range", "127.60.9.1-127.60.9.200", "--json", "-"}), dir.Path());
  std::this_thread::sleep_for(std::chrono::seconds(1));
  auto interrupted = std::chrono::steady_clock::now();
  cli.Signal(SIGHUP);
  EXPECT_EQ(cli.Wait(20000), 128 + SIGHUP) << cli.Stderr();
  EXPECT_LT(std::chrono::steady_clock::now() - interrupted, std::chrono::milliseconds(1500));
  JsonValue report;
  std::string error;
  ASSERT_TRUE(ParseJson(cli.Stdout(), report, error)) << error << cli.Stdout();
  EXPECT_TRUE(report["interrupted"].get<bool>());
  EXPECT_EQ(report["exitStatus"].get<double>(), 128 + SIGHUP);
  EXPECT_NE(cli.Stderr().find("Interrupted during the scan"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(dir.File("-")));
}

}  // namespace
}  // namespace pathmon::testing
