// SPDX-License-Identifier: Apache-2.0
// A whole run of the command line against a scripted fleet on a fake clock: the waiting
// line within the concurrent limit, failed starts, unknown serial numbers and an
// interruption, through the same seams the desktop program uses. No network, no process.

#include <signal.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <sstream>

#include "CliHarness.h"
#include "JsonValue.h"

#include "cli/CliRun.h"
#include "cli/EventStream.h"
#include "cli/Metrics.h"
#include "cli/Monitor.h"
#include "discovery/PhoneListMgr.h"
#include "frontend/FakeFleet.h"
#include "frontend/Messages.h"
#include "support/TempDir.h"

namespace pathmon::cli {
namespace {

using pathmon::testing::FakeFleet;

// The start order with each wave's phones (they start side by side) sorted.
std::vector<std::string> Waves(std::vector<std::string> order, std::size_t wave) {
  for (std::size_t i = 0; i < order.size(); i += wave) {
    std::sort(order.begin() + static_cast<long>(i),
              order.begin() + static_cast<long>(std::min(order.size(), i + wave)));
  }
  return order;
}

using Harness = CliHarness;

// A directory record of the fleet's beyond its phones: a second answer, or one set aside.
PhoneEntry Entry(const char* serial, const char* address) {
  PhoneEntry e{};
  std::snprintf(e.serialNumber, sizeof e.serialNumber, "%s", serial);
  std::snprintf(e.scannedAddress, sizeof e.scannedAddress, "%s", address);
  return e;
}

RunPlan Plan(int32_t limit, std::vector<AddressRange> ranges) {
  RunPlan plan;
  plan.settings.maxConcurrentTests = limit;
  plan.sites = {{"", "lab", 1, limit, std::move(ranges), {}}};  // the options' one site
  return plan;
}

TEST(CliRunFake, AFleetLargerThanTheLimitIsTestedInWavesInOrder) {
  Harness h;
  h.terminal = true;  // the waiting line is the table's
  for (int i = 1; i <= 5; ++i) h.fleet.Add("10.0.0." + std::to_string(i), "SN" + std::to_string(i));
  EXPECT_EQ(h.Run(Plan(2, {{"10.0.0.1", "10.0.0.5"}})), kExitUsable) << h.err.str();
  EXPECT_EQ(h.communities, std::vector<std::string>{"lab"});
  EXPECT_EQ(Waves(h.fleet.startOrder, 2),
            (std::vector<std::string>{"SN1", "SN2", "SN3", "SN4", "SN5"}));
  EXPECT_EQ(h.fleet.maxRunning, 2);
  for (int i = 1; i <= 5; ++i) {
    FakeFleet::Phone& p = h.fleet.Get("SN" + std::to_string(i));
    EXPECT_EQ(p.controlCalls, 1);
    EXPECT_EQ(p.cycleResults, 1);  // the run's observers saw the final cycle
    EXPECT_FALSE(p.running);
  }
  // Three waves of one minute.
  EXPECT_GE(h.clock.ElapsedMs(), 180000);
  EXPECT_LT(h.clock.ElapsedMs(), 210000);
  const std::string out = h.out.str();
  EXPECT_NE(out.find("Testing 5 phones for 1 min, at most 2 at once. 3 wait for a free place"),
            std::string::npos);
  EXPECT_NE(out.find("Waiting for a free place (at most 2 tests at once): SN3 SN4 SN5"),
            std::string::npos);
  EXPECT_NE(out.find("Remaining: 3:0"), std::string::npos);  // three waves ahead at first
  EXPECT_EQ(h.err.str(), "");
}

// An output that is no terminal (the journal, a pipe) gets the event lines as they come, paths
// gone silent among them (and back, or silent to their test's end), and never the table redrawn
// every 2 seconds: the one-off run shows its table once, at the end, the monitor none.
TEST(CliRunFake, AnOutputThatIsNoTerminalGetsEventLinesNotTheTable) {
  for (bool monitor : {false, true}) {
    SCOPED_TRACE(monitor);
    Harness h;
    h.fleet.Add("10.0.0.1", "SN1");
    h.fleet.Add("10.0.0.2", "SN2");
    h.fleet.Add("10.0.0.3", "SN3");
    h.fleet.Get("SN2").silentFrom = 10;
    h.fleet.Get("SN2").silentUntil = 40;
    h.fleet.Get("SN3").silentFrom = 50;  // until its test's end at 60 s
    h.fleet.Get("SN3").silentUntil = 70;
    MonitorPlan sites;
    sites.sites = {{"lab", "lab", 1, 3, {{"10.0.0.1", "10.0.0.3"}}, {}}};
    if (monitor) h.interruptAtMs = 65'000;  // the first tests have ended, the next are running
    EXPECT_EQ(monitor ? h.Run(sites) : h.Run(Plan(3, {{"10.0.0.1", "10.0.0.3"}})),
              monitor ? kExitSignalBase + SIGINT : kExitUsable);
    const std::string out = h.out.str();
    EXPECT_EQ(out.find("\nUSER "), out.rfind("\nUSER ")) << out;  // no table while tests run
    EXPECT_EQ(out.find("\nUSER ") != std::string::npos, !monitor) << out;
    for (const char* line : {"user-SN1:SN1  test started", "user-SN2:SN2  no echo for 2 s\n",
                             "user-SN2:SN2  echoes again after 29 s of silence\n",
                             "user-SN3:SN3  no echo until the test ended (9 s)\n",
                             "user-SN2:SN2  test finished: duration"}) {
      EXPECT_NE(out.find(line), std::string::npos) << line << "\n" << out;
    }
  }
}

// A sites file without --monitor: every phone of every site once, each with its site's
// duration, and the run's exit status from what they showed.
TEST(CliRunFake, ASitesFileTestsEachPhoneOnceWithItsSitesDuration) {
  struct Case {
    bool secondAnswers;
    int status;
    bool fileFails = false;  // a file not written: said once, in the summary, status 1
  };
  for (const Case& c : {Case{true, kExitUsable}, Case{false, kExitUnusable},
                        Case{true, kExitUnusable, true}}) {
    Harness h;
    if (c.fileFails) h.fleet.failures.Report("SN1.txt", "No space left on device");
    h.fleet.Add("10.0.0.1", "SN1");
    h.fleet.Add("10.0.1.1", "SN2", c.secondAnswers);
    h.fleet.Add("10.0.1.2", "SN3");
    RunPlan plan;
    plan.sitesFromFile = true;
    plan.verbosity = Verbosity::kQuiet;
    plan.sites = {{"lab", "lab", 1, 10, {{"10.0.0.1", "10.0.0.9"}}, {}}};
    Site other = plan.sites[0];
    other.name = "other";
    other.durationMinutes = 2;
    other.ranges = {{"10.0.1.1", "10.0.1.9"}};
    other.serials = {"SN2"};  // SN3 is not this site's
    plan.sites.push_back(other);
    EXPECT_EQ(h.Run(plan), c.status) << h.err.str();
    EXPECT_EQ(h.fleet.Calls("start SN1"), std::vector<std::string>{"start SN1 60 20 10.0.0.1"});
    EXPECT_EQ(h.fleet.Calls("start SN2"),
              c.secondAnswers ? std::vector<std::string>{"start SN2 120 20 10.0.1.1"}
                              : std::vector<std::string>{});
    EXPECT_TRUE(h.fleet.Calls("start SN3").empty());
    EXPECT_LT(h.clock.ElapsedMs(), 3 * 60'000);  // no retry after a failed start
    EXPECT_NE(h.jsonl.str().find("\"site\":\"other\",\"serialNumber\":\"SN2\""),
              std::string::npos);
    EXPECT_EQ(h.err.str().find("Cannot write SN1.txt: No space left on device\n") !=
                  std::string::npos, c.fileFails) << h.err.str();
    EXPECT_EQ(h.out.str().find("Not written: SN1.txt (1 write lost") != std::string::npos,
              c.fileFails) << h.out.str();
  }
}

// A phone set aside in a sites file's run is streamed with its own site, not the run's.
TEST(CliRunFake, APhoneSetAsideIsStreamedWithItsSite) {
  Harness h;
  h.fleet.Add("10.0.0.1", "SN1");
  // SN1's serial number again, in the second site's range.
  h.fleet.extraEntries.push_back(Entry("sn1", "10.0.1.3"));
  RunPlan plan;
  plan.sitesFromFile = true;
  plan.verbosity = Verbosity::kQuiet;
  plan.sites = {{"lab", "lab", 1, 10, {{"10.0.0.1", "10.0.0.9"}}, {}},
                {"other", "lab", 1, 10, {{"10.0.1.1", "10.0.1.9"}}, {}}};
  EXPECT_EQ(h.Run(plan), kExitUnusable);
  EXPECT_NE(h.jsonl.str().find(
                R"("type":"not-tested","site":"other","serialNumber":"sn1","userName":"")"),
            std::string::npos) << h.jsonl.str();
}

TEST(CliRunFake, AFailedStartFreesItsPlaceAndMakesTheRunFail) {
  Harness h;
  h.fleet.Add("10.0.0.1", "SN1", false);
  h.fleet.Add("10.0.0.2", "SN2");
  h.fleet.Add("10.0.0.3", "SN3");
  EXPECT_EQ(h.Run(Plan(2, {{"10.0.0.1", "10.0.0.3"}})), kExitUnusable);
  EXPECT_EQ(h.err.str(), FillMessage(kMsgStartFailed, "user-SN1", "SN1") + "\n");
  EXPECT_EQ(Waves(h.fleet.startOrder, 2), (std::vector<std::string>{"SN2", "SN3"}));
  EXPECT_EQ(h.fleet.maxRunning, 2);      // SN3 took SN1's place at once
  EXPECT_LT(h.clock.ElapsedMs(), 90000);  // one wave, not two
}

TEST(CliRunFake, PhonesTheRegistryCannotHoldAreNamedAndFailTheRun) {
  Harness h;
  for (int i = 1; i <= 3; ++i) h.fleet.Add("10.0.0." + std::to_string(i), "SN" + std::to_string(i));
  h.fleet.registryCapacity = 2;
  EXPECT_EQ(h.Run(Plan(10, {{"10.0.0.1", "10.0.0.3"}})), kExitUnusable);
  EXPECT_EQ(h.err.str(),
            "3 phones were found, but only 2 can be tested in one run; the others are left out.\n");
  EXPECT_EQ(Waves(h.fleet.startOrder, 2), (std::vector<std::string>{"SN1", "SN2"}));
}

TEST(CliRunFake, NoTestStartedIsStatusThree) {
  Harness h;
  h.fleet.Add("10.0.0.1", "SN1", false);
  EXPECT_EQ(h.Run(Plan(2, {{"10.0.0.1", "10.0.0.1"}})), kExitNothingRun);
  Harness empty;
  EXPECT_EQ(empty.Run(Plan(2, {{"10.0.0.1", "10.0.0.1"}})), kExitNothingRun);
  EXPECT_EQ(empty.err.str(),
            std::string(kMsgNoPhones) + "\n" + FillMessage(kMsgScanAnswers, "0", "0") + "\n");
}

TEST(CliRunFake, SerialNumbersChooseAndOrderTheTestsAndAnUnknownOneStartsNothing) {
  Harness h;
  for (int i = 1; i <= 3; ++i) h.fleet.Add("10.0.0." + std::to_string(i), "SN" + std::to_string(i));
  RunPlan plan = Plan(1, {{"10.0.0.1", "10.0.0.3"}});  // one at a time: the order shows
  plan.serials = {"sn3", "SN1", "SN3"};
  EXPECT_EQ(h.Run(plan), kExitUsable);
  EXPECT_EQ(h.fleet.startOrder, (std::vector<std::string>{"SN3", "SN1"}));
  EXPECT_EQ(h.fleet.Get("SN2").controlCalls, 0);

  Harness bad;
  for (int i = 1; i <= 3; ++i) bad.fleet.Add("10.0.0." + std::to_string(i), "SN" + std::to_string(i));
  plan.serials = {"SN1", "SN9"};
  EXPECT_EQ(bad.Run(plan), kExitBadInput);
  EXPECT_EQ(bad.err.str(), FillMessage(kMsgUnknownSerial, "SN9", "") + "\n");
  for (int i = 1; i <= 3; ++i) EXPECT_EQ(bad.fleet.Get("SN" + std::to_string(i)).controlCalls, 0);
}

TEST(CliRunFake, AnInterruptionStopsTheRunningAndLeavesTheWaiting) {
  Harness h;
  for (int i = 1; i <= 5; ++i) h.fleet.Add("10.0.0." + std::to_string(i), "SN" + std::to_string(i));
  h.interruptAtMs = 90000;  // the second wave runs, SN5 waits
  // SN3 and SN4 were stopped before their minute was over: incomplete, and the run says it
  // was interrupted.
  EXPECT_EQ(h.Run(Plan(2, {{"10.0.0.1", "10.0.0.5"}})), 128 + SIGINT);
  EXPECT_NE(h.out.str().find("user-SN3:SN3  incomplete, stopped before its duration"),
            std::string::npos) << h.out.str();
  EXPECT_NE(h.out.str().find("user-SN1:SN1  usable ("), std::string::npos);
  EXPECT_EQ(Waves(h.fleet.startOrder, 2), (std::vector<std::string>{"SN1", "SN2", "SN3", "SN4"}));
  for (const char* serial : {"SN3", "SN4"}) {
    EXPECT_EQ(h.fleet.Get(serial).stops, 1) << serial;
    EXPECT_EQ(h.fleet.Get(serial).cycleResults, 1) << serial;  // the final cycle result
  }
  EXPECT_EQ(h.fleet.Get("SN1").stops, 0);  // ended by itself
  EXPECT_EQ(h.fleet.Get("SN5").controlCalls, 0);
  EXPECT_LT(h.clock.ElapsedMs(), 91000);
  EXPECT_NE(h.err.str().find("Interrupted"), std::string::npos);
}

TEST(CliRunFake, PhonesThatCannotBeTestedAreNamedListedAndFailTheRun) {
  Harness h;
  h.fleet.Add("10.0.0.1", "SN1");
  h.fleet.Add("10.0.0.2", "SN2");
  // A second phone with SN1's serial number: the registry has one test.
  h.fleet.extraEntries.push_back(Entry("sn1", "10.0.0.3"));
  const PhoneEntry displaced = Entry("SN4", "10.0.0.4");
  h.fleet.notKept.push_back({displaced, "same identity key \"K\" as the phone at 10.0.0.2"});
  const pathmon::testing::TempDir dir("fake");
  RunPlan plan = Plan(2, {{"10.0.0.1", "10.0.0.4"}});
  plan.jsonPath = dir.File("r.json");
  // Both tested phones were usable; the run still fails, as two phones went untested.
  EXPECT_EQ(h.Run(plan), kExitUnusable);
  EXPECT_EQ(h.err.str(),
            "Phone at 10.0.0.4 not tested: same identity key \"K\" as the phone at 10.0.0.2\n"
            "Phone at 10.0.0.3 not tested: same serial number \"sn1\" as the phone at 10.0.0.1\n");
  EXPECT_EQ(Waves(h.fleet.startOrder, 2), (std::vector<std::string>{"SN1", "SN2"}));

  const std::string text = pathmon::testing::ReadFile(plan.jsonPath);
  pathmon::testing::JsonValue report;
  std::string error;
  ASSERT_TRUE(pathmon::testing::ParseJson(text, report, error)) << error;
  ASSERT_EQ(report["phones"].size(), 4u);  // every phone found
  pathmon::testing::JsonValue fourth = report["phones"][2];
  EXPECT_EQ(fourth["scannedAddress"].get<std::string>(), "10.0.0.4");
  EXPECT_EQ(fourth["state"].get<std::string>(), "not-testable");
  EXPECT_EQ(fourth["notTestedReason"].get<std::string>(), "same identity key \"K\" as the phone at 10.0.0.2");
  EXPECT_EQ(report["phones"][3]["scannedAddress"].get<std::string>(), "10.0.0.3");
  EXPECT_TRUE(report["phones"][0]["notTestedReason"].is_null());
  EXPECT_EQ(report["phones"][0]["endReason"].get<std::string>(), "duration");

  // Asked for by its serial number, a phone set aside is named as found, never as unknown.
  Harness asked;
  asked.fleet.Add("10.0.0.1", "SN1");
  asked.fleet.notKept.push_back({displaced, "same identity key \"K\" as the phone at 10.0.0.1"});
  RunPlan one = Plan(2, {{"10.0.0.1", "10.0.0.4"}});
  one.serials = {"sn4"};
  EXPECT_EQ(asked.Run(one), kExitBadInput);
  EXPECT_NE(asked.err.str().find("Phone sn4 at 10.0.0.4 was found but cannot be tested: same "
                                 "identity key \"K\" as the phone at 10.0.0.1\n"),
            std::string::npos)
      << asked.err.str();
  EXPECT_TRUE(asked.fleet.startOrder.empty());
}

// A phone never tested says why, alike in the summary, the JSON report, the event stream and
// (a failed start) the metrics: SN2 of two phones, tested one at a time.
TEST(CliRunFake, APhoneNeverTestedHasItsReasonEverywhere) {
  const PhoneEntry twin = Entry("SN2", "10.0.0.3");
  const std::vector<std::pair<std::string, std::function<void(Harness&, RunPlan&)>>> cases = {
      {"no-answer", [](Harness& h, RunPlan&) { h.fleet.Get("SN2").answers = false; }},
      {"interrupted", [](Harness& h, RunPlan&) { h.interruptAtMs = 30000; }},
      {"not-selected", [](Harness&, RunPlan& plan) { plan.serials = {"SN1"}; }},
      {"too-many-phones", [](Harness& h, RunPlan&) { h.fleet.registryCapacity = 1; }},
      {"duplicate-serial",
       [&twin](Harness& h, RunPlan&) { h.fleet.extraEntries.push_back(twin); }}};
  for (const auto& [code, arrange] : cases) {
    SCOPED_TRACE(code);
    Harness h;
    h.fleet.Add("10.0.0.1", "SN1");
    h.fleet.Add("10.0.0.2", "SN2");
    std::ostringstream jsonl;
    EventStream events(jsonl, [] { return int64_t{0}; }, {});
    FleetMetrics metrics({});
    h.events = &events;
    h.metrics = &metrics;
    RunPlan plan = Plan(1, {{"10.0.0.1", "10.0.0.2"}});
    plan.jsonPath = kJsonToStdout;
    arrange(h, plan);
    h.Run(plan);
    pathmon::testing::JsonValue report, phone;
    std::string error;
    ASSERT_TRUE(pathmon::testing::ParseJson(h.json.str(), report, error)) << error;
    for (const auto& p : report["phones"]) phone = p["serialNumber"] == "SN2" ? p : phone;
    EXPECT_EQ(phone["notTestedCode"], code);
    EXPECT_TRUE(report["phones"][0]["notTestedCode"].is_null());  // SN1 was tested
    const std::string text = phone["notTestedReason"];
    // The summary lists the phones the run was to test; the stream, those it could not.
    EXPECT_EQ(h.out.str().find("SN2  start-failed: " + text) != std::string::npos ||
                  h.out.str().find("SN2  not-tested: " + text) != std::string::npos,
              code == "no-answer" || code == "interrupted")
        << h.out.str();
    EXPECT_EQ(jsonl.str().find("\"reason\":\"" + code + "\",\"message\":" +
                               phone["notTestedReason"].dump()) != std::string::npos,
              code != "not-selected")
        << jsonl.str();
    EXPECT_EQ(metrics.Exposition().find("pathmon_test_start_failures_total{reason=\"no-answer\","
                                        "serial=\"SN2\",site=\"\"} 1") != std::string::npos,
              code == "no-answer");
  }
}

// Whatever the run is doing, a signal ends it promptly with 128 + its number, after the
// final history lines, with a report that says so (here on "standard output", --json -).
TEST(CliRunFake, ASignalAtAnyStageEndsTheRunWithItsStatusAndAReport) {
  struct Case {
    const char* stage;
    int signal;
    std::function<void(Harness&)> arrange;
    std::function<void(Harness&)> check;
  };
  const std::vector<Case> cases = {
      {"scan", SIGINT, [](Harness& h) { h.interruptAtMs = 0; },
       [](Harness& h) { EXPECT_TRUE(h.fleet.startOrder.empty()); }},
      {"control exchange", SIGTERM,
       [](Harness& h) {
         // SN1 stays silent, each try taking a while; the signal comes during the first.
         h.fleet.Get("SN1").answers = false;
         h.fleet.Get("SN1").controlRealMs = 300;
         h.interruptAtMs = 2250;  // the scan takes its first 2 s tick
       },
       [](Harness& h) {
         EXPECT_LE(h.fleet.Get("SN1").controlCalls, 1);  // not all three tries
         EXPECT_EQ(h.fleet.Get("SN1").cycleResults, 0);
       }},
      {"tests", SIGHUP, [](Harness& h) { h.interruptAtMs = 30000; },
       [](Harness& h) {
         for (const char* serial : {"SN1", "SN2"}) {
           EXPECT_EQ(h.fleet.Get(serial).stops, 1) << serial;
           EXPECT_EQ(h.fleet.Get(serial).cycleResults, 1) << serial;
         }
         EXPECT_LT(h.clock.ElapsedMs(), 31000);
       }},
      {"log retrieval", SIGINT,
       [](Harness& h) { h.fleet.onLog = [&h] { h.interruptAtMs = 0; }; },
       [](Harness& h) {
         EXPECT_EQ(h.fleet.Calls("log").size(), 1u);  // the second phone's log is not fetched
         EXPECT_NE(h.err.str().find("Interrupted: no more logs fetched."), std::string::npos);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.stage);
    Harness h;
    h.fleet.Add("10.0.0.1", "SN1");
    h.fleet.Add("10.0.0.2", "SN2");
    h.signal = c.signal;
    c.arrange(h);
    RunPlan plan = Plan(2, {{"10.0.0.1", "10.0.0.2"}});
    plan.fetchLogs = true;
    plan.jsonPath = kJsonToStdout;
    EXPECT_EQ(h.Run(plan), 128 + c.signal);
    c.check(h);
    const std::string report = h.json.str();
    EXPECT_NE(report.find("\"interrupted\":true"), std::string::npos) << report;
    EXPECT_NE(report.find("\"exitStatus\":" + std::to_string(128 + c.signal)), std::string::npos);
    EXPECT_NE(report.find("\"serialNumber\":\"SN2\""), std::string::npos);
  }
}

// A file the run could not write makes its results incomplete: said once with the file's
// name and reason, counted in the summary, exit status 1. Two phones whose texts give one
// history file name are named before their lines mix.
TEST(CliRunFake, AFileNotWrittenIsSaidOnceAndFailsTheRunAndSharedNamesAreNamed) {
  Harness h;
  h.fleet.Add("10.0.0.1", "c", true, "a_b");
  h.fleet.Add("10.0.0.2", "b_c", true, "a");
  for (int i = 0; i < 3; ++i) h.fleet.failures.Report("a_b_c.txt", "No space left on device");
  EXPECT_EQ(h.Run(Plan(2, {{"10.0.0.1", "10.0.0.2"}})), kExitUnusable);
  EXPECT_EQ(h.err.str(),
            "These phones write to the same history file a_b_c.txt: a_b:c a:b_c\n"
            "Cannot write a_b_c.txt: No space left on device\n");
  EXPECT_NE(h.out.str().find("Not written: a_b_c.txt (3 writes lost: No space left on device)"),
            std::string::npos)
      << h.out.str();
}

}  // namespace
}  // namespace pathmon::cli
