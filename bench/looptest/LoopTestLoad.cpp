// SPDX-License-Identifier: Apache-2.0
// Load benchmark of the loop-test engine: many concurrent tests at 20 ms against simulated
// phones, in real time. Prints the frame rate per test, how late sends are against their
// schedule, frames lost on loopback, and CPU time per 1000 frames.
//
//   looptest_load [--tests 128] [--seconds 60] [--first 127.52.0.1] [--lateness-out FILE]
//
// The phones (one farline-phone-sim child, at --first and the addresses after it) are part of
// the figures: their CPU per 1000 frames is printed beside the tool's. --lateness-out writes
// every lateness sample (microseconds, native float32) so that a script running several of
// these processes can take the percentiles of all of them together.

#include <arpa/inet.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "looptest/SessionRegistry.h"
#include "support/SimProcess.h"
#include "transport/Clock.h"
#include "transport/PATHMONSocket.h"

namespace {

using namespace pathmon;
using Steady = std::chrono::steady_clock;

// The real clock, noting each test thread's latest send deadline so that the sender can
// tell how late the send that follows it is.
thread_local Clock::TimePoint tDeadline{};
thread_local bool tHasDeadline = false;

class MeasuringClock final : public Clock {
 public:
  uint32_t TickMs() override { return SystemClock().TickMs(); }
  int64_t WallSeconds() override { return SystemClock().WallSeconds(); }
  int64_t WallNs() override { return SystemClock().WallNs(); }
  TimePoint Now() override { return SystemClock().Now(); }
  uint32_t TickAt(TimePoint t) override { return SystemClock().TickAt(t); }
  void SleepMs(int32_t ms) override {
    tHasDeadline = false;  // cycle ends and the final wait are not frame deadlines
    SystemClock().SleepMs(ms);
  }
  void SleepUntil(TimePoint deadline) override {
    tDeadline = deadline;
    tHasDeadline = true;
    SystemClock().SleepUntil(deadline);
  }
};

// Frames sent, received and lost over every cycle of every test.
class CycleTotals final : public TestObserver {
 public:
  void OnCycleResult(const CycleResult& result) override {
    std::lock_guard lock(mutex_);
    sum_.sent += result.stats.sent;
    sum_.received += result.stats.received;
    sum_.lost += result.stats.lost;
    sum_.strayEchoes += result.stats.strayEchoes;
  }
  TestStatistics Sum() {
    std::lock_guard lock(mutex_);
    return sum_;
  }

 private:
  std::mutex mutex_;
  TestStatistics sum_;
};

// When a test's first and last frame left, and how many left in between.
struct SendSpan {
  long frames = 0;
  Steady::time_point first{}, last{};
};

// What one test thread measured of its own sends: kept apart per thread, so that measuring
// adds no lock and no search to a send (the figures are the tool's, not the benchmark's).
struct SendRecord {
  std::vector<float> latenessUs;
  SendSpan span;
};

class SendRecords {
 public:
  explicit SendRecords(std::size_t samplesPerThread) : reserve_(samplesPerThread) {}
  // The calling thread's record, made at its first send; it outlives the thread.
  SendRecord& Mine() {
    thread_local SendRecord* mine = nullptr;
    if (mine == nullptr) {
      auto record = std::make_unique<SendRecord>();
      record->latenessUs.reserve(reserve_);
      std::lock_guard lock(mutex_);
      mine = all_.emplace_back(std::move(record)).get();
    }
    return *mine;
  }
  // Read once every test has ended.
  std::vector<std::unique_ptr<SendRecord>>& All() { return all_; }

 private:
  std::size_t reserve_;
  std::mutex mutex_;
  std::vector<std::unique_ptr<SendRecord>> all_;
};

double CpuSeconds(int who = RUSAGE_SELF) {
  rusage usage{};
  getrusage(who, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

std::string Address(uint32_t firstHostOrder, int i) {
  in_addr a{htonl(firstHostOrder + static_cast<uint32_t>(i))};
  return inet_ntoa(a);
}

}  // namespace

int main(int argc, char** argv) {
  int tests = 128;
  int seconds = 60;
  std::string first = "127.52.0.1";
  std::string latenessOut;
  for (int i = 1; i < argc; i += 2) {
    if (i + 1 == argc) {
      std::fprintf(stderr, "%s needs a value\n", argv[i]);
      return 2;
    }
    if (!std::strcmp(argv[i], "--tests")) tests = std::atoi(argv[i + 1]);
    else if (!std::strcmp(argv[i], "--seconds")) seconds = std::atoi(argv[i + 1]);
    else if (!std::strcmp(argv[i], "--first")) first = argv[i + 1];
    else if (!std::strcmp(argv[i], "--lateness-out")) latenessOut = argv[i + 1];
    else {
      std::fprintf(stderr, "unknown option %s\n", argv[i]);
      return 2;
    }
  }
  tests = std::clamp(tests, 1, kRegistrySlots);

  pathmon::testing::SimProcess sim(
      {"--quick", std::to_string(tests), "--first", first});
  if (!sim.Ok()) {
    std::fprintf(stderr, "the simulated phones did not start:\n%s\n", sim.Stderr().c_str());
    return 1;
  }

  MeasuringClock clock;
  SendRecords records(static_cast<std::size_t>(seconds) * 50 + 100);
  TestSocket* socket = nullptr;
  SessionRegistry registry(clock, [&](const uint8_t* d, int n, uint32_t peer) {
    const auto now = Steady::now();
    // Frames (not control messages, whose send tick is 0) leave only from test threads, one
    // thread a phone.
    if (tHasDeadline || ReadLe32(d + kOffsetSendTick) != 0) {
      SendRecord& mine = records.Mine();
      if (tHasDeadline) {
        mine.latenessUs.push_back(
            static_cast<float>(std::chrono::duration<double, std::micro>(now - tDeadline).count()));
      }
      if (ReadLe32(d + kOffsetSendTick) != 0) {
        if (mine.span.frames++ == 0) mine.span.first = now;
        mine.span.last = now;
      }
    }
    return socket->Send(d, n, peer);
  });
  TestSocket realSocket(registry);
  socket = &realSocket;
  if (socket->Start() != 0) return 1;

  const uint32_t base = ntohl(inet_addr(first.c_str()));
  std::vector<LoopTest*> loops;
  for (int i = 0; i < tests; ++i) {
    // --quick names its phones QF000001, QF000002, ... (see docs/simulator.md).
    char serial[32];
    std::snprintf(serial, sizeof serial, "QF%06d", i + 1);
    loops.push_back(registry.GetOrCreateLoopTest(nullptr, serial));
  }

  auto totals = std::make_shared<CycleTotals>();
  double cpuBefore = CpuSeconds();
  auto started = Steady::now();
  std::vector<std::thread> starters;
  std::atomic<int> refused{0};
  for (int i = 0; i < tests; ++i) {
    // Control exchanges take a second each: run them side by side, like the tests.
    starters.emplace_back([&, i] {
      LoopTest* loop = loops[static_cast<std::size_t>(i)];
      if (SendStartCommand(3, htonl(base + static_cast<uint32_t>(i)), *loop) != 1) {
        std::fprintf(stderr, "phone %s did not answer\n", Address(base, i).c_str());
        refused.fetch_add(1);
        return;
      }
      loop->SetObservers("", {totals});
      StartLoopTest(seconds, 20, htonl(base + static_cast<uint32_t>(i)), loop);
    });
  }
  for (auto& t : starters) t.join();
  if (refused.load() > 0) return 1;
  for (LoopTest* t : loops) {
    while (t->IsRunning()) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  double elapsed = std::chrono::duration<double>(Steady::now() - started).count();
  double cpu = CpuSeconds() - cpuBefore;
  socket->Stop();

  const TestStatistics all = totals->Sum();
  const long sent = all.sent, received = all.received, lost = all.lost, stray = all.strayEchoes;
  auto phones = sim.Stop();
  // The sim is this process's only child and has been waited for: its whole run, start-up
  // and shutdown included.
  const double phoneCpu = CpuSeconds(RUSAGE_CHILDREN);
  long phoneReceived = 0, phoneEchoed = 0, badSignature = 0;
  for (auto& [address, c] : phones) {
    phoneReceived += c.framesReceived;
    phoneEchoed += c.framesEchoed;
    badSignature += c.badSignature;
  }

  std::vector<float> samples;
  std::vector<SendSpan> spans;
  for (const auto& record : records.All()) {
    samples.insert(samples.end(), record->latenessUs.begin(), record->latenessUs.end());
    if (record->span.frames > 0) spans.push_back(record->span);
  }
  if (!latenessOut.empty()) {
    FILE* out = std::fopen(latenessOut.c_str(), "wb");
    bool written = out != nullptr &&
                   std::fwrite(samples.data(), sizeof(float), samples.size(), out) == samples.size();
    if (out != nullptr && std::fclose(out) != 0) written = false;
    if (!written) {
      std::fprintf(stderr, "cannot write %s\n", latenessOut.c_str());
      return 1;
    }
  }
  std::vector<double> l(samples.begin(), samples.end());
  std::sort(l.begin(), l.end());
  double mean = 0;
  for (double v : l) mean += v;
  mean = l.empty() ? 0 : mean / static_cast<double>(l.size());
  double p99 = l.empty() ? 0 : l[static_cast<std::size_t>(0.99 * static_cast<double>(l.size() - 1))];
  double maxLate = l.empty() ? 0 : l.back();

  // A test's rate: its frames after the first over the time from its first to its last.
  double minRate = 1e9, maxRate = 0, sumRate = 0;
  for (const SendSpan& span : spans) {
    double secs = std::chrono::duration<double>(span.last - span.first).count();
    double rate = secs > 0 ? static_cast<double>(span.frames - 1) / secs : 0;
    minRate = std::min(minRate, rate);
    maxRate = std::max(maxRate, rate);
    sumRate += rate;
  }
  double perTest = spans.empty() ? 0 : sumRate / static_cast<double>(spans.size());
  std::printf("tests                         %d x %d s at 20 ms\n", tests, seconds);
  std::printf("frames per second per test    %.3f mean, %.3f min, %.3f max (goal 50.00)\n",
              perTest, minRate, maxRate);
  std::printf("send lateness mean            %.1f us\n", mean);
  std::printf("send lateness p99             %.1f us\n", p99);
  std::printf("send lateness max             %.1f us\n", maxLate);
  std::printf("frames sent / echoed back     %ld / %ld\n", sent, received);
  std::printf("frames lost (tool's count)    %ld\n", lost);
  std::printf("frames not echoed (any cause) %ld\n", sent - received);
  std::printf("stray or repeated echoes      %ld\n", stray);
  std::printf("phones: received/echoed/bad   %ld / %ld / %ld\n", phoneReceived, phoneEchoed,
              badSignature);
  std::printf("CPU seconds per 1000 frames   %.4f (%.1f s CPU in %.1f s)\n",
              sent ? cpu / (static_cast<double>(sent) / 1000.0) : 0.0, cpu, elapsed);
  std::printf("phones: CPU s per 1000 frames %.4f (%.1f s CPU)\n",
              phoneEchoed ? phoneCpu / (static_cast<double>(phoneEchoed) / 1000.0) : 0.0,
              phoneCpu);
  return 0;
}
