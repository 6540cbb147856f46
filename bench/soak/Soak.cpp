// SPDX-License-Identifier: Apache-2.0
// Soak benchmark: a whole pathmon-cli run, in this process, against a fleet of simulated
// phones with mixed impairments, for half an hour. Every minute it samples the process's
// resident memory, open descriptors and threads from /proc/self, then prints the samples and
// the growth between minute 5 (every test started, every buffer at its working size) and the
// last minute. Goal: less than 1 MB and no descriptor or thread of growth.
//
// The run is RunCli itself, as pathmon-cli's main builds it, with one change: every phone is
// tested at once (the registry's 128 slots), where the command line allows at most 10 tests
// at once. Each test lasts longer than the soak, which ends the run as SIGINT would after the
// last sample (every test stopped, the last history lines written).
//
//   soak [--phones 128] [--minutes 30] [--first 127.53.0.1]
//
// Needs root (the phones bind ports 7 and 161); history files go to a temporary folder.

#include <arpa/inet.h>
#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cli/CliOptions.h"
#include "cli/CliRun.h"
#include "cli/SignalWatch.h"
#include "engine/Engine.h"
#include "engine/HistoryFile.h"
#include "frontend/EngineBackend.h"
#include "engine/VoiceHistory.h"
#include "support/SimProcess.h"
#include "transport/DebugTrace.h"

namespace {

using namespace pathmon;
using Steady = std::chrono::steady_clock;

struct Sample {
  int minute = 0;
  long rssKb = 0;
  int descriptors = 0;
  int threads = 0;
};

long StatusField(const char* name) {
  std::ifstream status("/proc/self/status");
  std::string line;
  const std::size_t n = std::strlen(name);
  while (std::getline(status, line)) {
    if (line.compare(0, n, name) == 0 && line.size() > n && line[n] == ':') {
      return std::strtol(line.c_str() + n + 1, nullptr, 10);
    }
  }
  return -1;
}

int OpenDescriptors() {
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  int count = 0;
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  closedir(dir);
  return count - 1;  // the directory stream's own descriptor
}

Sample Take(int minute) {
  return {minute, StatusField("VmRSS"), OpenDescriptors(), static_cast<int>(StatusField("Threads"))};
}

std::string Address(uint32_t firstHostOrder, int i) {
  in_addr a{htonl(firstHostOrder + static_cast<uint32_t>(i))};
  return inet_ntoa(a);
}

// Eight kinds of line, one phone in eight each: clean, light random loss, delay with jitter
// (echoes overtake each other), outages, fixed drop ranges, nonce rotation, and two that the
// usable rule fails (heavy loss with a long jittery delay; a steady 200 ms).
const char* const kImpairments[] = {
    "",
    "loss=0.02",
    "delay=40 jitter=20",
    "outage=30 every=15",
    "drop=100-149,1000-1099,5000-5999",
    "rotate=100",
    "loss=0.2 delay=120 jitter=60",
    "delay=200",
};

}  // namespace

int main(int argc, char** argv) {
  using namespace pathmon::cli;
  // Before any thread exists, so that Ctrl-C ends the soak as it ends pathmon-cli.
  SignalWatch signals;

  int phones = kRegistrySlots;
  int minutes = 30;
  std::string first = "127.53.0.1";
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!std::strcmp(argv[i], "--phones")) phones = std::atoi(argv[i + 1]);
    else if (!std::strcmp(argv[i], "--minutes")) minutes = std::atoi(argv[i + 1]);
    else if (!std::strcmp(argv[i], "--first")) first = argv[i + 1];
  }
  phones = std::clamp(phones, 1, kRegistrySlots);
  minutes = std::clamp(minutes, 6, kMaxDurationMinutes - 1);

  const uint32_t base = ntohl(inet_addr(first.c_str()));
  std::vector<std::string> simArgs;
  for (int i = 0; i < phones; ++i) {
    simArgs.push_back("--phone");
    simArgs.push_back(Address(base, i) + " rng=" + std::to_string(i + 1) + " " +
                      kImpairments[i % std::size(kImpairments)]);
  }
  pathmon::testing::SimProcess sim(simArgs);
  if (!sim.Ok()) {
    std::fprintf(stderr, "the simulated phones did not start:\n%s\n", sim.Stderr().c_str());
    return 1;
  }

  char folder[] = "/tmp/pathmon-soak-XXXXXX";
  if (mkdtemp(folder) == nullptr || chdir(folder) != 0) {
    std::perror("soak: temporary folder");
    return 1;
  }

  SetTraceSink([](void*, std::string_view) {}, nullptr);
  Engine engine;
  engine.InitPhoneList();
  if (engine.SocketStart() != 0) {
    std::fprintf(stderr, "the test socket could not be opened\n");
    return 1;
  }
  RecordingFileOpener opener;
  engine.SetFileOpener(&opener);
  engine.AddObserver(
      std::make_shared<HistoryWriter>("", LocalTimeNow, engine.WriteFailureLog()));
  engine.AddObserver(std::make_shared<VoiceHistoryWriter>("", engine.WriteFailureLog()));
  EngineBackend backend(engine);

  // The one site the options would make; its tests still run at the last sample.
  RunPlan plan;
  plan.settings.maxConcurrentTests = phones;
  plan.sites = {{"", "orchid", minutes + 1, phones, {{first, Address(base, phones - 1)}}, {}}};

  std::mutex mutex;
  std::condition_variable wake;
  bool done = false;  // the last sample is taken: end the run
  std::vector<Sample> samples;
  std::thread sampler([&] {
    const auto start = Steady::now();
    std::unique_lock lock(mutex);
    for (int minute = 0; minute <= minutes; ++minute) {
      if (wake.wait_until(lock, start + std::chrono::minutes(minute), [&] { return done; })) {
        return;  // the run ended early (a signal)
      }
      Sample s = Take(minute);
      samples.push_back(s);
      std::printf("minute %2d  VmRSS %7ld kB  descriptors %4d  threads %4d\n", s.minute,
                  s.rssKb, s.descriptors, s.threads);
      std::fflush(stdout);
    }
    done = true;
  });

  std::ofstream table("/dev/null");
  CliEnvironment env{
      backend,
      backend,
      engine.GetClock(),
      [&engine](const char* community) { engine.Phones().SetCommunity(community); },
      [&](int ms) {
        {
          std::lock_guard lock(mutex);
          if (done) return true;
        }
        return signals.Wait(ms);
      },
      opener,
      table,
      std::cerr,
      false,
      [&signals] { return signals.Signal(); },
      nullptr,
  };
  const int status = RunCli(plan, env);
  {
    std::lock_guard lock(mutex);
    done = true;
  }
  wake.notify_all();
  sampler.join();

  engine.SetFileOpener(nullptr);
  engine.SocketStop();
  auto counters = sim.Stop();
  long received = 0, echoed = 0, bad = 0;
  for (auto& [address, c] : counters) {
    received += c.framesReceived;
    echoed += c.framesEchoed;
    bad += c.badSignature;
  }
  std::printf("run exit status %d; phones received %ld frames, echoed %ld, bad signatures %ld\n",
              status, received, echoed, bad);
  std::error_code ignored;
  std::filesystem::remove_all(folder, ignored);

  auto at = [&](int minute) -> const Sample* {
    for (const Sample& s : samples) {
      if (s.minute == minute) return &s;
    }
    return nullptr;
  };
  const Sample* from = at(5);
  const Sample* to = samples.empty() ? nullptr : &samples.back();
  if (from == nullptr || to == nullptr || to->minute <= from->minute) {
    std::printf("the run ended before minute 6: no growth to report\n");
    return 1;
  }
  const long rss = to->rssKb - from->rssKb;
  const int fds = to->descriptors - from->descriptors;
  const int threads = to->threads - from->threads;
  std::printf("growth minute %d to %d: VmRSS %+ld kB, descriptors %+d, threads %+d (goal: "
              "under 1024 kB, 0, 0): %s\n",
              from->minute, to->minute, rss, fds, threads,
              rss < 1024 && fds <= 0 && threads <= 0 ? "met" : "NOT met");
  return 0;
}
