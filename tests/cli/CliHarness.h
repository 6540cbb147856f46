// SPDX-License-Identifier: Apache-2.0
#pragma once
// A one-off run or a monitor run of the command line against the in-memory
// fleet, through the same seams main gives them: the fake clock moves with
// every wait of the run, the output, the errors, the report and the event
// stream go to strings.

#include <signal.h>

#include <chrono>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "cli/CliRun.h"
#include "cli/EventStream.h"
#include "cli/Metrics.h"
#include "cli/Monitor.h"
#include "frontend/FakeFleet.h"
#include "frontend/Verdict.h"

namespace pathmon::cli {

struct CliHarness {
  CliHarness() {
    // One try per exchange, so that an interruption is seen between tries.
    fleet.requiredTries = 1;
    fleet.AddObserver(std::shared_ptr<TestObserver>(&stream, [](TestObserver*) {}));
  }

  testing::FakeClock clock;
  testing::FakeFleet fleet{clock};
  RecordingFileOpener opener;
  std::ostringstream out, err;
  std::ostringstream json, jsonl;  // "--json -" and the event stream
  int64_t interruptAtMs = -1;
  int signal = SIGINT;  // the one that interrupts at interruptAtMs
  std::vector<std::string> communities;
  bool terminal = false;               // out is one: the table is redrawn
  std::function<void(int64_t ms)> at;  // runs in the run's wait, with the elapsed time
  // How long each wait lets the run's start threads finish before time moves on.
  std::chrono::microseconds settle{1000};
  // The fleet's events into jsonl; a test may give the run a stream of its own instead.
  EventStream stream{jsonl, [this] { return clock.WallSeconds(); },
                     [](const CycleResult& r) { return CycleUsable({0, r.stats, r.voice}, 0); }};
  EventStream* events = &stream;    // --jsonl
  FleetMetrics* metrics = nullptr;  // --metrics-file

  int Run(const RunPlan& plan) {
    return Run([&plan](CliEnvironment& env) { return RunCli(plan, env); });
  }
  int Run(const MonitorPlan& plan) {
    return Run([&plan](CliEnvironment& env) { return RunMonitor(plan, env); });
  }

 private:
  int Run(const std::function<int(CliEnvironment&)>& start) {
    CliEnvironment env{fleet,
                       fleet,
                       clock,
                       [this](const char* c) { communities.push_back(c); },
                       [this](int ms) {
                         clock.AdvanceMs(ms);
                         std::this_thread::sleep_for(settle);
                         if (at) at(clock.ElapsedMs());
                         return interruptAtMs >= 0 && clock.ElapsedMs() >= interruptAtMs;
                       },
                       opener,
                       out,
                       err,
                       terminal,
                       [this] { return signal; },
                       &json,
                       metrics,
                       events};
    return start(env);
  }
};

}  // namespace pathmon::cli
