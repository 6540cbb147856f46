// SPDX-License-Identifier: Apache-2.0
// pathmon-cli: the loop tests of Farline phones without a display.

#include <malloc.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <iostream>
#include <memory>
#include <optional>

#include "cli/CliOptions.h"
#include "cli/CliRun.h"
#include "cli/EventStream.h"
#include "cli/JsonReport.h"
#include "cli/Metrics.h"
#include "cli/Monitor.h"
#include "cli/ResultTable.h"
#include "cli/TableView.h"
#include "cli/SignalWatch.h"
#include "engine/Engine.h"
#include "frontend/EngineBackend.h"
#include "frontend/SharedInterruptions.h"
#include "frontend/Verdict.h"
#include "transport/Clock.h"
#include "transport/DebugTrace.h"
#include "transport/FileWrite.h"

int main(int argc, char* argv[]) {
  using namespace pathmon;
  using namespace pathmon::cli;

  // A run starts a short-lived thread for every test and every start. With glibc's default of
  // up to eight heaps a core, the freed memory is spread over many heaps, each keeping its own
  // high-water mark, and a monitor run's resident memory creeps for hours; two heaps reuse it.
  // Before any thread exists.
  ::mallopt(M_ARENA_MAX, 2);
  // Before any thread exists, so that every thread inherits the blocked signals.
  SignalWatch signals;
  // Output that nobody reads any more (a closed pipe) must not end the run before its tests
  // are stopped and their last history lines written: writes then just fail.
  ::signal(SIGPIPE, SIG_IGN);
  // A file-size limit (ulimit -f) must fail the write, which is reported and taken back to
  // whole lines, rather than kill the run with a cut line and no report.
  ::signal(SIGXFSZ, SIG_IGN);

  ParseResult parsed = ParseCommandLine(argc, argv);
  if (!parsed.run) {
    std::cout << parsed.output << std::flush;
    std::cerr << parsed.error << std::flush;
    return parsed.exitStatus;
  }
  RunPlan plan;
  if (std::string message = CheckArguments(parsed.arguments, plan); !message.empty()) {
    std::cerr << message << '\n' << std::flush;
    return kExitBadInput;
  }

  // The trace is for developers; the run's own output says what happened.
  if (!plan.trace) SetTraceSink([](void*, std::string_view) {}, nullptr);

  // No single-instance guard: a scheduled run may well test phones while the desktop
  // program is open, and each process has a test socket of its own.
  Engine engine;
  engine.InitPhoneList();
  engine.SessionSettings() = plan.settings;
  if (engine.SocketStart() != 0) {
    std::cerr << "The test socket could not be opened: no test can start.\n" << std::flush;
  }
  RecordingFileOpener opener;
  opener.SetInterruptCheck([&signals] { return signals.Wait(0); });
  engine.SetFileOpener(&opener);
  engine.EnableHistory(plan.outputDir);
  EngineBackend backend(engine);

  // With "--json -" or "--jsonl -" the report or the stream alone goes to standard output,
  // for a script to read; the run's own output goes to standard error.
  const bool jsonToStdout = plan.jsonPath == kJsonToStdout || plan.jsonlPath == kJsonToStdout;
  std::ostream& out = jsonToStdout ? std::cerr : std::cout;

  // The verdict's rule for one cycle, for the usable gauge and the event stream.
  const UsableRule usable = [minMos = plan.minMos](const CycleResult& result) {
    return CycleUsable(CycleRecord{result.wallSeconds, result.stats, result.voice}, minMos);
  };
  // The run's one correlator: every test reports to it, whatever observes the interruptions
  // it decides (the summary, the reports, the event stream) attaches to shared.
  SharedInterruptions shared(engine.GetClock());
  engine.AddObserver(shared.Observer());
  std::shared_ptr<EventStream> events;
  if (!plan.jsonlPath.empty()) {
    auto wallSeconds = [&engine] { return engine.GetClock().WallSeconds(); };
    if (plan.jsonlPath == kJsonToStdout) {
      events = std::make_shared<EventStream>(std::cout, wallSeconds, usable);
    } else {
      // Made now, or found a regular file: a stream that cannot even begin is refused
      // before anything is sent. Its lines then go the history lines' way.
      if (std::string reason; !AppendToFile(plan.jsonlPath, "", reason)) {
        std::cerr << "--jsonl: cannot open " << plan.jsonlPath << ": " << reason << '\n'
                  << std::flush;
        return kExitBadInput;
      }
      events = std::make_shared<EventStream>(plan.jsonlPath, engine.WriteFailureLog(),
                                             wallSeconds, usable);
    }
    events->SetSite(plan.sites.empty() ? "" : plan.sites.front().name);
    engine.AddObserver(events);
    shared.AddObserver(events);
  }
  std::shared_ptr<FleetMetrics> metrics;
  MetricsServer server;
  std::optional<MetricsPoller> poller;
  auto writeMetricsFile = [&plan, &metrics] {
    std::string error;
    if (!WriteFileAtomically(plan.metricsFile, metrics->Exposition(), error)) {
      std::cerr << "--metrics-file: " << error << '\n' << std::flush;
    }
  };
  if (!plan.metricsListen.empty() || !plan.metricsFile.empty()) {
    metrics = std::make_shared<FleetMetrics>(
        usable, [&engine](const std::string& serial, PhoneEntry& entry) {
          return engine.Phones().FindPhoneBySerial(serial.c_str(), entry);
        });
    metrics->SetSite(plan.sites.empty() ? "" : plan.sites.front().name);
    metrics->SetDscp(plan.settings.dscp);
    if (!plan.metricsFile.empty()) metrics->SetCycleHook(writeMetricsFile);
    if (std::string error; !plan.metricsListen.empty() &&
                           !server.Listen(plan.metricsListen, metrics->Registry(), error)) {
      std::cerr << error << '\n' << std::flush;
      return kExitBadInput;
    }
    engine.AddObserver(metrics);
    shared.AddObserver(metrics);
    poller.emplace(backend, *metrics, std::chrono::milliseconds(kMetricsPollMs));
  }

  CliEnvironment env{
      backend,
      backend,
      engine.GetClock(),
      [&engine](const char* community) { engine.Phones().SetCommunity(community); },
      [&signals](int ms) { return signals.Wait(ms); },
      opener,
      out,
      std::cerr,
      ::isatty(jsonToStdout ? STDERR_FILENO : STDOUT_FILENO) == 1,
      [&signals] { return signals.Signal(); },
      &std::cout,
      metrics.get(),
      events.get(),
      [outFd = jsonToStdout ? STDERR_FILENO : STDOUT_FILENO] { return TerminalColumns(outFd); },
      ColourWanted(jsonToStdout ? STDERR_FILENO : STDOUT_FILENO),
      &shared,
  };
  int status = 0;
  if (plan.monitor) {
    status = RunMonitor(
        MonitorPlan{plan.sites, plan.rescanMinutes, plan.verbosity, plan.minMos,
                    plan.sitesFromFile},
        env);
  } else {
    // The --range and --address phones, or each phone of a sites file's sites, tested once.
    status = RunCli(plan, env);
    if (events) events->RunEnded(status, signals.Signal() != 0);
  }
  poller.reset();
  if (metrics && !plan.metricsFile.empty()) writeMetricsFile();
  // Lines written after the run's own report of its files (the stream's run-end): a file
  // failing for the first time now is said here and makes the results incomplete.
  for (const WriteFailure& failure : engine.WriteFailureLog().TakeNew()) {
    std::cerr << PrintableText(WriteFailureMessage(failure)) << '\n' << std::flush;
    if (status == kExitUsable) status = kExitUnusable;
  }

  engine.SetFileOpener(nullptr);
  if (signals.Signal() != 0) {
    // Everything is written; probes of an interrupted scan may still wait out their SNMP
    // time-outs (up to 12 s), the scan's destructor would wait for them, and the test
    // socket's receiver for its next poll: an interrupted run ends here.
    std::cout << std::flush;
    std::cerr << std::flush;
    std::_Exit(status);
  }
  engine.SocketStop();
  return status;
}
