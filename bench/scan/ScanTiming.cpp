// SPDX-License-Identifier: Apache-2.0
// Timing of discovery scans of 256 addresses over real SNMP on loopback, in real time:
// from StartDiscovery to the moment GetBusySlotCount() first reads 0. Two rounds:
//   mixed: 20 simulated phones in 127.30.2.0/24, the other 236 addresses silent;
//   full:  256 simulated phones, 127.30.3.0/24, every address answers.
// Prints, per round, the walk's time (StartDiscovery returning), the whole scan's time, the
// phones stored, the most slots seen busy at once, the trace lines written (counted, not
// printed) and the CPU time the process used.
//
//   scan_timing [--rounds mixed,full]

#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "discovery/PhoneListMgr.h"
#include "support/SimProcess.h"
#include "transport/Clock.h"
#include "transport/DebugTrace.h"
#include "transport/SnmpAccess.h"

namespace {

using namespace pathmon;
using Steady = std::chrono::steady_clock;

std::atomic<int> gTraceLines{0};
void CountLine(void*, std::string_view) { gTraceLines.fetch_add(1); }

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

struct Round {
  const char* name;
  std::vector<std::string> simArgs;
  const char* first;
  const char* last;
  int phones;
};

// False when the round could not run (sim not ready, wrong phone count).
bool Run(const Round& round) {
  testing::SimProcess sim(round.simArgs);
  if (!sim.Ok()) {
    std::fprintf(stderr, "%s: the simulated phones did not start\n", round.name);
    return false;
  }
  InitSnmpLibrary();
  NetSnmpClient client;
  PhoneDirectory directory(client, SystemClock());
  DiscoveryScan scan(directory, SystemClock());

  gTraceLines.store(0);
  double cpu0 = CpuSeconds();
  Steady::time_point start = Steady::now();
  std::atomic<bool> walking{true};
  std::atomic<int32_t> peak{0};
  // Samples the busy count every millisecond while the walk runs, as the dialog would.
  std::thread sampler([&] {
    while (walking.load()) {
      peak.store(std::max(peak.load(), scan.GetBusySlotCount()));
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  scan.StartDiscovery(round.first, round.last);
  Steady::time_point walked = Steady::now();
  walking.store(false);
  sampler.join();
  while (true) {
    int32_t busy = scan.GetBusySlotCount();
    peak.store(std::max(peak.load(), busy));
    if (busy == 0) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  Steady::time_point done = Steady::now();
  double cpu = CpuSeconds() - cpu0;

  auto secs = [](Steady::duration d) { return std::chrono::duration<double>(d).count(); };
  std::printf("%-6s %s-%s: walk %.2f s, scan %.2f s, phones %d of %d, peak busy slots %d, "
              "trace lines %d, cpu %.2f s\n",
              round.name, round.first, round.last, secs(walked - start), secs(done - start),
              directory.GetPhoneCount(), round.phones, peak.load(), gTraceLines.load(), cpu);
  return directory.GetPhoneCount() == round.phones;
}

}  // namespace

int main(int argc, char** argv) {
  std::string rounds = "mixed,full";
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--rounds") == 0) rounds = argv[i + 1];
  }
  InitSnmpLibrary();
  SetTraceSink(&CountLine, nullptr);

  bool ok = true;
  if (rounds.find("mixed") != std::string::npos) {
    ok &= Run({"mixed", {"--quick", "20", "--first", "127.30.2.100"}, "127.30.2.0",
               "127.30.2.255", 20});
  }
  if (rounds.find("full") != std::string::npos) {
    ok &= Run({"full", {"--quick", "256", "--first", "127.30.3.0"}, "127.30.3.0", "127.30.3.255",
               256});
  }
  return ok ? 0 : 1;
}
