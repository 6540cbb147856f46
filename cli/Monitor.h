// SPDX-License-Identifier: Apache-2.0
#pragma once
// pathmon-cli --monitor: the sites' phones tested back to back until a signal. Each phone's
// test starts again when it ends (MonitorScheduler keeps the line, the concurrent limit and the
// backoff of phones that fail), the ranges are scanned again every rescan period on a thread
// of their own while the tests run on, and the metrics follow every running test.
//
// Contract: RunMonitor runs on the front end's thread and returns once every test it started
// has stopped and delivered its last cycle result.

#include <cstdint>
#include <vector>

#include "cli/CliRun.h"
#include "cli/Site.h"

namespace pathmon::cli {

struct MonitorPlan {
  std::vector<Site> sites;
  int32_t rescanMinutes = kDefaultRescanMinutes;
  Verbosity verbosity = Verbosity::kNormal;
  double minMos = 0;  // --min-mos: see CycleUsable
  // The sites are a sites file's: each phone belongs to its site for the interruptions seen
  // together; otherwise to its /24 network.
  bool sitesFromFile = false;
};

// Runs until a signal (a sites file without --monitor is a one-off run, RunCli); the exit
// status is 128 + the signal's number.
int RunMonitor(const MonitorPlan& plan, CliEnvironment& env);

}  // namespace pathmon::cli
