// SPDX-License-Identifier: Apache-2.0
// farline-phone-sim: plays one or many Farline phones on loopback addresses, each with its
// UDP test endpoint (port 7) and SNMP version 1 agent (port 161), for trying and testing the
// tool without phones. Usage and formats: docs/simulator.md.

#include <fmt/format.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>

#include "sim/PhoneConfig.h"
#include "sim/Simulator.h"
#include "sim/SnmpAgent.h"

namespace {

using pathmon::sim::ConfigError;
using pathmon::sim::PhoneConfig;

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw ConfigError(fmt::format("cannot read fleet file {}", path));
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Two sockets per phone: lift the descriptor limit as far as the hard limit allows.
void RaiseDescriptorLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
}

}  // namespace

int main(int argc, char** argv) {
  // A phone holds an echo back for its delay to the microsecond: the timers of this thread
  // and of every thread it starts may fire 1 microsecond late, not Linux's default 50.
  ::prctl(PR_SET_TIMERSLACK, 1000UL, 0, 0, 0);
  CLI::App app{
      "Simulated Farline phones: UDP test endpoint (port 7) and SNMPv1 agent (port 161) "
      "on loopback addresses"};
  std::vector<std::string> phoneLines, fleetFiles, each;
  int quick = 0;
  std::string first = "127.0.1.1";
  bool verbose = false;
  app.add_option("--phone", phoneLines, "A phone: \"ADDRESS key=value ...\" (repeatable)");
  app.add_option("--fleet", fleetFiles, "A fleet file, one phone a line (repeatable)");
  app.add_option("--quick", quick, "A quick fleet of N generated phones")
      ->check(CLI::Range(0, 65536));
  app.add_option("--first", first, "Address of the first phone of the quick fleet");
  app.add_option("--each", each, "Settings \"key=value ...\" for every quick phone (repeatable)");
  app.add_flag("--verbose", verbose, "Report datagrams with bad signatures on stderr");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    // --help and --version end well; any error in the arguments is status 2, as a bad
    // phone line is, whatever CLI11's own number for it.
    return app.exit(e) == 0 ? 0 : 2;
  }

  std::vector<PhoneConfig> phones;
  try {
    for (const std::string& line : phoneLines) phones.push_back(pathmon::sim::ParsePhoneLine(line));
    for (const std::string& path : fleetFiles) {
      for (PhoneConfig& p : pathmon::sim::ParseFleet(ReadFile(path)))
        phones.push_back(std::move(p));
    }
    std::vector<std::string> common;
    for (const std::string& words : each) {
      for (std::string& w : pathmon::sim::SplitWords(words)) common.push_back(std::move(w));
    }
    for (PhoneConfig& p : pathmon::sim::QuickFleet(quick, first, common))
      phones.push_back(std::move(p));
    std::set<std::string> addresses;
    for (const PhoneConfig& p : phones) {
      if (!addresses.insert(p.address).second) {
        throw ConfigError(fmt::format("two phones share the address {}", p.address));
      }
    }
  } catch (const ConfigError& e) {
    fmt::print(stderr, "farline-phone-sim: {}\n", e.what());
    return 2;
  }
  if (phones.empty()) {
    fmt::print(stderr, "farline-phone-sim: no phones (use --phone, --fleet or --quick)\n");
    return 2;
  }

  // SIGINT, SIGTERM and SIGUSR1 arrive through a descriptor in the event loop: the counters
  // are printed from ordinary code, not from a signal handler.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGUSR1);
  sigprocmask(SIG_BLOCK, &stopSignals, nullptr);
  signal(SIGPIPE, SIG_IGN);
  const int stopFd = signalfd(-1, &stopSignals, SFD_CLOEXEC);
  if (stopFd < 0) {
    std::perror("farline-phone-sim: signalfd");
    return 1;
  }

  RaiseDescriptorLimit();
  pathmon::sim::InitSnmpLibrary();
  pathmon::sim::Simulator simulator(phones);
  simulator.verbose = verbose;
  std::string error;
  if (!simulator.Bind(error)) {
    fmt::print(stderr, "farline-phone-sim: {}\n", error);
    return 1;
  }
  std::fputs("READY\n", stdout);
  std::fflush(stdout);

  int rc = 0;
  while ((rc = simulator.Run(stopFd)) == 0) {
    signalfd_siginfo info{};
    if (read(stopFd, &info, sizeof info) != static_cast<ssize_t>(sizeof info)) continue;
    if (info.ssi_signo != SIGUSR1) break;
    // SIGUSR1: the counters so far on standard error; standard output keeps its one document.
    std::fputs(simulator.ReportJson().c_str(), stderr);
  }
  std::fputs(simulator.ReportJson().c_str(), stdout);
  std::fflush(stdout);
  return rc;
}
