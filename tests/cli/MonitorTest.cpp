// SPDX-License-Identifier: Apache-2.0
// Monitoring without sockets: the line and the backoff of --monitor on given times, the
// counters that must neither go down nor count a frame twice when a cycle ends between two
// polls, and whole monitor runs against the in-memory fleet on the fake clock.

#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "CliHarness.h"
#include "cli/EventStream.h"
#include "cli/Metrics.h"
#include "cli/Monitor.h"
#include "cli/MonitorScheduler.h"
#include "frontend/Verdict.h"
#include "frontend/FakeFleet.h"

namespace pathmon::cli {
namespace {

using pathmon::testing::FakeFleet;
using std::chrono::minutes;
using std::chrono::seconds;
using TimePoint = Clock::TimePoint;

TEST(MonitorScheduler, LineLimitBackoffAndFleetChanges) {
  // Backoff: 1, 2, 4 … held at 30 minutes.
  const std::vector<int> waits = {0, 1, 2, 4, 8, 16, 30, 30};
  for (int failures = 0; failures < static_cast<int>(waits.size()); ++failures) {
    EXPECT_EQ(BackoffAfter(failures), minutes(waits[static_cast<std::size_t>(failures)]));
  }
  EXPECT_EQ(BackoffAfter(1000), minutes(30));

  const TimePoint t0{};
  MonitorScheduler s(2);
  EXPECT_EQ(s.Update({"A", "B", "C"}, t0).joined, (std::vector<std::string>{"A", "B", "C"}));
  EXPECT_EQ(s.TakeStartable(t0), (std::vector<std::string>{"A", "B"}));  // the limit
  s.StartSucceeded("A", t0);
  EXPECT_EQ(s.StartFailed("B", t0), minutes(1));  // frees its place at once
  EXPECT_EQ(s.TakeStartable(t0), std::vector<std::string>{"C"});
  s.StartSucceeded("C", t0);

  // C's phone hangs up at once (off hook): a failure, its place free at once.
  EXPECT_EQ(s.Finished("C", TestEnd::kPhoneEnded, t0 + seconds(3)), minutes(1));
  EXPECT_EQ(s.Failures("C"), 1);
  EXPECT_TRUE(s.TakeStartable(t0 + seconds(3)).empty());  // B and C wait out their backoff
  // A ran its duration: back of the line, behind B and C, whose waits are over.
  EXPECT_EQ(s.Finished("A", TestEnd::kDuration, t0 + minutes(5)), minutes(0));
  EXPECT_EQ(s.TakeStartable(t0 + minutes(5)), (std::vector<std::string>{"B", "C"}));
  EXPECT_EQ(s.StartFailed("B", t0 + minutes(5)), minutes(2));  // the second failure
  s.StartSucceeded("C", t0 + minutes(5));
  // A phone that ends the test after a while is no failure: the count starts again.
  EXPECT_EQ(s.Finished("C", TestEnd::kPhoneEnded, t0 + minutes(6)), minutes(0));
  EXPECT_EQ(s.Failures("C"), 0);
  EXPECT_EQ(s.TakeStartable(t0 + minutes(6)), (std::vector<std::string>{"A", "C"}));
  s.StartSucceeded("A", t0 + minutes(6));
  s.StartCancelled("C");

  // A rescan without A and B: B (waiting) goes at once, A when its test ends; D joins.
  const MonitorScheduler::Change change = s.Update({"C", "D"}, t0 + minutes(7));
  EXPECT_EQ(change.joined, std::vector<std::string>{"D"});
  EXPECT_EQ(change.dropped, (std::vector<std::string>{"A", "B"}));
  EXPECT_EQ(s.State("B"), MonitorState::kDropped);
  EXPECT_EQ(s.State("A"), MonitorState::kRunning);
  EXPECT_EQ(s.Finished("A", TestEnd::kDuration, t0 + minutes(10)), minutes(0));
  EXPECT_EQ(s.State("A"), MonitorState::kDropped);
  EXPECT_EQ(s.Phones(), (std::vector<std::string>{"C", "D"}));
  // Found again, B joins with its failures forgotten.
  EXPECT_EQ(s.Update({"C", "D", "B"}, t0 + minutes(11)).joined, std::vector<std::string>{"B"});
  EXPECT_EQ(s.Failures("B"), 0);
}

double Value(FleetMetrics& m, const std::string& series) {
  std::istringstream text(m.Exposition());
  for (std::string line; std::getline(text, line);) {
    if (line.rfind(series, 0) == 0 && line.size() > series.size() && line[series.size()] == ' ') {
      return std::stod(line.substr(series.size() + 1));
    }
  }
  ADD_FAILURE() << series << " not in\n" << m.Exposition();
  return -1;
}

// A cycle's figures; late: echoes that came for frames already counted lost.
TestStatistics Figures(int32_t sent, int32_t lost, int32_t late = 0) {
  TestStatistics s;
  s.sent = sent;
  s.lost = lost;
  s.received = sent - lost;
  s.lostCounted = lost + late;
  s.lateEchoes = late;
  return s;
}

TEST(FleetMetrics, CountersFollowCyclesWithoutGoingDownOrCountingTwice) {
  const TestIdentity phone{"SN1", "alice", ::inet_addr("10.0.0.1")};
  const TestIdentity renamed{"SN1", "bob", ::inet_addr("10.0.0.1")};
  const std::string labels = "{serial=\"SN1\",site=\"lab\"}";
  // Each step: a poll of the running cycle (sent, lost), a cycle result (final figures), the
  // test's end or a new start; then the counters' expected values.
  enum Kind { kPoll, kResult, kEnd, kStart };
  struct Step {
    Kind kind;
    int32_t sent, lost, late;
    double sentTotal, lostTotal, lateTotal;
  };
  const std::vector<Step> steps = {
      {kPoll, 100, 2, 0, 100, 2, 0},
      {kPoll, 250, 5, 0, 250, 5, 0},
      // The test has begun its next cycle before the last one's result came: nothing yet.
      {kPoll, 20, 0, 0, 250, 5, 0},
      // The result settles the closed cycle.
      {kResult, 300, 6, 0, 300, 6, 0},
      // Three frames counted lost, two of them echoed after all: lost minus late stays LOST.
      {kPoll, 40, 1, 2, 340, 9, 2},
      {kResult, 300, 4, 2, 600, 12, 2},
      // The test's last cycle: its figures stay in place, the test still shows as running.
      {kPoll, 300, 4, 2, 600, 12, 2},
      {kPoll, 310, 4, 2, 600, 12, 2},
      {kEnd, 0, 0, 0, 600, 12, 2},
      {kPoll, 300, 4, 2, 600, 12, 2},
      // The next test of the phone.
      {kStart, 0, 0, 0, 600, 12, 2},
      {kPoll, 10, 0, 0, 610, 12, 2},
      {kResult, 50, 50, 0, 650, 62, 2},  // nothing echoed: not usable
  };
  FleetMetrics m([](const CycleResult& r) { return CycleUsable({0, r.stats, r.voice}, 0); },
                 [](const std::string&, PhoneEntry& entry) {
                   std::snprintf(entry.probeText1, sizeof entry.probeText1, "FL 4420");
                   std::snprintf(entry.probeText2, sizeof entry.probeText2, "4.2.17");
                   return true;
                 });
  m.SetSite("lab");
  m.OnStarted(TestStarted{phone, 0});
  for (std::size_t i = 0; i < steps.size(); ++i) {
    const Step& step = steps[i];
    if (step.kind == kResult) {
      m.OnCycleResult(
          CycleResult{phone, 0, Figures(step.sent, step.lost, step.late), VoiceQuality{}});
    } else if (step.kind == kEnd) {
      m.OnFinished(TestFinished{phone, 0, TestEnd::kDuration});
    } else if (step.kind == kStart) {
      m.OnStarted(TestStarted{phone, 0});
    } else {
      // A rescan may rename the phone while its test runs: the test keeps its labels.
      m.Poll(i % 2 == 0 ? phone : renamed, [&step](FleetMetrics::Live& live) {
        live.stats = Figures(step.sent, step.lost, step.late);
        live.echoSilenceMs = 1000 * step.lost;
        return true;
      });
      // The silence as the poll read it, while the test runs.
      if (i < 8) {
        EXPECT_EQ(Value(m, "pathmon_echo_silence_seconds" + labels), step.lost);
      }
    }
    EXPECT_EQ(Value(m, "pathmon_frames_sent_total" + labels), step.sentTotal) << "step " << i;
    EXPECT_EQ(Value(m, "pathmon_frames_lost_total" + labels), step.lostTotal) << "step " << i;
    EXPECT_EQ(Value(m, "pathmon_echoes_late_total" + labels), step.lateTotal) << "step " << i;
  }
  EXPECT_EQ(Value(m, "pathmon_running" + labels), 1);
  EXPECT_EQ(Value(m, "pathmon_usable" + labels), 0);
  m.OnFinished(TestFinished{phone, 0, TestEnd::kDuration});
  EXPECT_EQ(Value(m, "pathmon_running" + labels), 0);
  EXPECT_EQ(m.Exposition().find("pathmon_echo_silence_seconds{"), std::string::npos);
  EXPECT_EQ(m.Exposition().find("bob"), std::string::npos);
  // The phone changes hands: its counters go on, its one description follows the new test.
  m.OnStarted(TestStarted{renamed, 0});
  EXPECT_EQ(Value(m, "pathmon_frames_sent_total" + labels), 650);
  EXPECT_EQ(m.Exposition().find("alice"), std::string::npos);
  EXPECT_EQ(Value(m, "pathmon_phone_info{address=\"10.0.0.1\",dscp=\"0\","
                     "firmware=\"4.2.17\",model=\"FL 4420\",serial=\"SN1\",site=\"lab\","
                     "user=\"bob\"}"),
            1);

  // Each echo's round trip goes into the histogram once, however often the polls see it;
  // a late echo when it comes; a new cycle's frames anew.
  m.OnStarted(TestStarted{phone, 0});
  CycleTimings timings;
  timings.startNs = 1'000'000'000;
  timings.frames = {
      {0, 3'000'000}, {20'000'000, FrameTiming::kNotReceived}, {40'000'000, 90'000'000}};
  auto poll = [&m, &phone, &timings] {
    m.Poll(phone, [&timings](FleetMetrics::Live& live) {
      live.stats = Figures(static_cast<int32_t>(timings.frames.size()), 0);
      live.timings = timings;
      return true;
    });
  };
  const std::string histogram =
      "pathmon_rtt_seconds_bucket{serial=\"SN1\",site=\"lab\",le=";
  poll();
  poll();
  EXPECT_EQ(Value(m, histogram + "\"0.005\"}"), 1);
  EXPECT_EQ(Value(m, histogram + "\"0.08\"}"), 2);
  timings.frames[1].arrivalNs = 21'000'000;  // late, but echoed
  poll();
  EXPECT_EQ(Value(m, histogram + "\"0.005\"}"), 2);
  timings.startNs += 60'000'000'000;  // the next cycle, same instants
  poll();
  EXPECT_EQ(Value(m, histogram + "\"+Inf\"}"), 6);
  m.Drop("SN1");
  EXPECT_EQ(m.Exposition().find("SN1"), std::string::npos);
}

// A monitor run against the in-memory fleet, ended by SIGTERM as systemd ends it.
struct Harness : CliHarness {
  Harness() { signal = SIGTERM; }
};

MonitorPlan Plan(int32_t limit, int32_t rescanMinutes) {
  MonitorPlan plan;
  plan.sites = {{"lab", "lab", 1, limit, {{"10.0.0.1", "10.0.0.9"}}, {}}};
  plan.rescanMinutes = rescanMinutes;
  plan.verbosity = Verbosity::kQuiet;
  return plan;
}

TEST(MonitorRun, TestsBackToBackRetriesFailuresWithBackoffAndFollowsTheFleet) {
  Harness h;
  h.fleet.Add("10.0.0.1", "SN1");
  h.fleet.Add("10.0.0.2", "SN2", /*answers=*/false);
  h.fleet.Add("10.0.0.3", "SN3");
  h.fleet.Get("SN3").runsSeconds = 2;  // off hook: ends every test at once
  bool changed = false;
  h.at = [&h, &changed](int64_t ms) {
    if (ms >= 12 * 60'000 && !changed) {
      changed = true;
      h.fleet.Get("SN1").answersScan = false;  // gone before the rescan at 15 min
      h.fleet.Add("10.0.0.4", "SN4");          // new, found by it
    }
  };
  h.interruptAtMs = 20 * 60'000;
  EXPECT_EQ(h.Run(Plan(2, 15)), kExitSignalBase + SIGTERM) << h.err.str();

  // SN1 tested back to back (1-minute tests, about a second of start between them) until
  // the rescan at 15 min dropped it: its running test ends, and it is not started again.
  const auto starts = [&h](const std::string& serial) {
    return std::count(h.fleet.startOrder.begin(), h.fleet.startOrder.end(), serial);
  };
  EXPECT_GE(starts("SN1"), 14);
  EXPECT_LE(starts("SN1"), 16);
  // SN2 never answers: tried at 0, 1, 3, 7 and 15 min (backoff 1, 2, 4, 8), three tries each.
  EXPECT_EQ(h.fleet.Get("SN2").controlCalls, 5 * kStartTries);
  // SN3 ends at once: started at 0, 1, 3, 7, 15 min.
  EXPECT_EQ(starts("SN3"), 5);
  // SN4 joined at 15 min and ran back to back, about five times.
  EXPECT_GE(starts("SN4"), 4);
  EXPECT_LE(starts("SN4"), 5);
  EXPECT_LE(h.fleet.maxRunning, 2);
  for (const char* serial : {"SN1", "SN3", "SN4"}) EXPECT_FALSE(h.fleet.Get(serial).running);

  const std::string err = h.err.str();
  EXPECT_NE(err.find("Failed to start PATHMON for user-SN2:SN2; next try in 8 min"),
            std::string::npos) << err;
  EXPECT_NE(err.find("ended its test at once (phone-ended); next try in 4 min"),
            std::string::npos) << err;
  EXPECT_NE(err.find("Phone SN4 joined the fleet."), std::string::npos) << err;
  EXPECT_NE(err.find("Phone SN1 did not answer the scan: no longer tested."), std::string::npos);

  // Every line of the stream is a JSON object of its own with a time and a type.
  std::istringstream lines(h.jsonl.str());
  std::map<std::string, int> types;
  for (std::string line; std::getline(lines, line);) {
    const nlohmann::json j = nlohmann::json::parse(line);
    ASSERT_TRUE(j.contains("time") && j.contains("type")) << line;
    ++types[j["type"].get<std::string>()];
  }
  EXPECT_EQ(types["scan-finished"], 2);
  EXPECT_EQ(types["phone-joined"], 1);
  EXPECT_EQ(types["phone-dropped"], 1);
  EXPECT_EQ(types["retry"], 10);  // SN2's and SN3's
  EXPECT_EQ(types["not-tested"], 5);  // SN2's failed starts
  EXPECT_EQ(types["run-end"], 1);
  EXPECT_EQ(types["cycle"], types["test-finished"]);
}

}  // namespace
}  // namespace pathmon::cli
