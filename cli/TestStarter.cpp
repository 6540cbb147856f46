// SPDX-License-Identifier: Apache-2.0
#include "cli/TestStarter.h"

#include <signal.h>

#include <chrono>

namespace pathmon::cli {

void TestStarter::Launch(TestedPhone& phone, int32_t durationSeconds) {
  phone.start = std::async(std::launch::async, [this, fleet = FleetPhone(phone), durationSeconds] {
    return StartPhoneTest(backend_, fleet, durationSeconds, [this] { return cancelled_.load(); });
  });
}

std::optional<StartResult> TestStarter::Collect(TestedPhone& phone, bool block) {
  if (!phone.start.valid()) return std::nullopt;
  if (!block && phone.start.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
    return std::nullopt;
  }
  return phone.start.get();
}

void TestStarter::StopAll() {
  std::vector<std::future<int>> stops;
  for (const FleetPhone& phone : FleetSnapshot(backend_)) {
    if (!backend_.Snapshot(*phone.test).running) continue;
    stops.push_back(std::async(std::launch::async,
                               [this, test = phone.test] { return backend_.StopLoopTest(test); }));
  }
  for (std::future<int>& stop : stops) stop.get();
}

int ExitStatus(const std::vector<Outcome>& outcomes) {
  bool tested = false;
  bool bad = false;
  for (Outcome outcome : outcomes) {
    switch (outcome) {
      case Outcome::kUsable: tested = true; break;
      case Outcome::kUnusable:
      case Outcome::kIncomplete:
      case Outcome::kNoResult: tested = true; bad = true; break;
      case Outcome::kStartFailed: bad = true; break;
      case Outcome::kNotTested: break;
    }
  }
  if (!tested) return kExitNothingRun;
  return bad ? kExitUnusable : kExitUsable;
}

int InterruptedStatus(const CliEnvironment& env) {
  const int signal = env.signal ? env.signal() : 0;
  return kExitSignalBase + (signal > 0 ? signal : SIGINT);
}

}  // namespace pathmon::cli
