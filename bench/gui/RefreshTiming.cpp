// SPDX-License-Identifier: Apache-2.0
// Timing of the main window's 2-second refresh with 128 rows: the presenter reads every
// test's snapshot and the voice figures its worker finished, writes every cell, band and
// tooltip and asks the worker for new figures, then the event loop runs once (the model's one
// dataChanged and the repaint of the visible rows). Each round changes every row's figures,
// so every cell is rewritten. Prints the median, 95th percentile and maximum of the rounds,
// in wall-clock time and in the thread's CPU time.
//
// Each voice figure asked for is assessed as the engine does for a running test: AssessCycle
// over a whole 5-minute cycle (15,000 frames), on the worker's thread. Between rounds the
// bench waits for the worker (the window's refreshes are 2 seconds apart) and prints how long
// its assessments took.
//
//   QT_QPA_PLATFORM=offscreen refresh_timing [rounds]     (default 200)

#include <time.h>

#include <QApplication>
#include <QDir>
#include <QSettings>
#include <QTemporaryDir>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "frontend/FakeFleet.h"
#include "ui/MainDialog.h"

namespace {

// This thread's CPU time, µs: unlike the wall clock, not stretched by other processes on a
// shared machine.
double ThreadCpuUs() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) * 1e6 + static_cast<double>(t.tv_nsec) / 1e3;
}

// The fake fleet, whose voice figures cost what a running test's cost the engine: each is
// preceded by the assessment of a 5-minute cycle.
class AssessingBackend final : public pathmon::MainBackend {
 public:
  AssessingBackend(pathmon::MainBackend& fleet, pathmon::CycleTimings cycle)
      : fleet_(fleet), cycle_(std::move(cycle)) {}
  void ForEachLoopTest(const std::function<void(int, pathmon::LoopTest&)>& visit) override {
    fleet_.ForEachLoopTest(visit);
  }
  bool FindPhoneBySerial(const char* serial, pathmon::PhoneEntry& entry) override {
    return fleet_.FindPhoneBySerial(serial, entry);
  }
  pathmon::TestSnapshot Snapshot(pathmon::LoopTest& test) override { return fleet_.Snapshot(test); }
  pathmon::VoiceQuality Voice(pathmon::LoopTest& test) override {
    if (pathmon::AssessCycle(cycle_).loss.sent == 0) std::abort();
    return fleet_.Voice(test);
  }
  int SendStartCommand(int tries, uint32_t address, pathmon::LoopTest& test) override {
    return fleet_.SendStartCommand(tries, address, test);
  }
  int StartLoopTest(int32_t seconds, int32_t intervalMs, uint32_t address,
                    pathmon::LoopTest* test) override {
    return fleet_.StartLoopTest(seconds, intervalMs, address, test);
  }
  int StopLoopTest(pathmon::LoopTest* test) override { return fleet_.StopLoopTest(test); }
  bool GetPhoneLog(const char* agent, const char* file) override {
    return fleet_.GetPhoneLog(agent, file);
  }
  void CreateLoopTestsForPhones() override { fleet_.CreateLoopTestsForPhones(); }
  void AddObserver(std::shared_ptr<pathmon::TestObserver> observer) override {
    fleet_.AddObserver(std::move(observer));
  }

 private:
  pathmon::MainBackend& fleet_;
  const pathmon::CycleTimings cycle_;
};

pathmon::CycleTimings FiveMinuteCycle() {
  pathmon::CycleTimings cycle;
  cycle.startNs = 1'000'000'000;
  for (int k = 0; k < 15000; ++k) {
    pathmon::FrameTiming frame;
    frame.sendNs = cycle.startNs + k * cycle.intervalNs + (k * 7919) % 300'000;
    if (k % 97 != 0) frame.arrivalNs = frame.sendNs + 30'000'000 + (k * 104729) % 4'000'000;
    cycle.frames.push_back(frame);
  }
  return cycle;
}

}  // namespace

int main(int argc, char* argv[]) {
  using namespace pathmon;
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 200;
  QApplication app(argc, argv);
  QTemporaryDir settingsDir;  // the window's remembered geometry stays out of the user's
  QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settingsDir.path());

  pathmon::testing::FakeClock clock;
  pathmon::testing::FakeFleet fleet(clock);
  constexpr int kRows = 128;
  for (int i = 0; i < kRows; ++i) {
    fleet.Add("10.9." + std::to_string(i / 250) + "." + std::to_string(i % 250 + 1),
              "FL" + std::to_string(7000000 + i), true, "SITE\\user" + std::to_string(i));
  }
  fleet.StartDiscovery("0.0.0.0", "255.255.255.255");
  fleet.CreateLoopTestsForPhones();
  ProgramSettings settings;
  const CycleTimings cycle = FiveMinuteCycle();
  AssessingBackend backend(fleet, cycle);
  MainDialog dialog(backend, fleet, settings);
  dialog.resize(1500, 900);
  if (!qEnvironmentVariableIsSet("HIDE")) dialog.show();
  dialog.Presenter().FillPhoneList();
  QApplication::processEvents();

  std::vector<double> us;
  std::vector<double> presenterUs;
  std::vector<double> cpuUs;
  std::vector<double> workerUs;
  int assessedRows = 0;
  for (int round = 0; round < rounds; ++round) {
    for (int i = 0; i < kRows; ++i) {
      auto& phone = fleet.Get("FL" + std::to_string(7000000 + i));
      phone.running = (i + round) % 3 != 0;
      phone.stats.sent = 50 * (round + 1);
      phone.stats.received = phone.stats.sent - (i + round) % 7;
      phone.stats.lost = (i + round) % 7;
      phone.stats.avgRtt = 20 + (i * round) % 200;
      phone.stats.lastRtt = (i + round) % 300;
      phone.stats.maxRtt = 300 + round;
      phone.voice.loss.sent = phone.stats.sent;
      phone.voice.jitterUs = 1000 + 37 * ((i + round) % 50);
      phone.voice.rtt.p95Us = 20000 + 1000 * ((i * round) % 90);
      phone.voice.score.mos = 4.4 - 0.01 * ((i + round) % 100);
      phone.voice.worstWindowMos = 4.4 - 0.03 * ((i + round) % 100);  // some red, some amber
      phone.voice.interruptions.assign(static_cast<std::size_t>(i % 3), {1'765'000'000'000'000'000, 1000, 150, 3});
    }
    double cpuStart = ThreadCpuUs();
    auto start = std::chrono::steady_clock::now();
    dialog.Presenter().RefreshRows();
    auto written = std::chrono::steady_clock::now();
    QApplication::processEvents();
    auto end = std::chrono::steady_clock::now();
    cpuUs.push_back(ThreadCpuUs() - cpuStart);
    us.push_back(std::chrono::duration<double, std::micro>(end - start).count());
    presenterUs.push_back(std::chrono::duration<double, std::micro>(written - start).count());
    dialog.Presenter().Voices().WaitIdle();
    workerUs.push_back(
        std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - end).count());
    for (int i = 0; i < kRows; ++i) {
      assessedRows += dialog.Model()->Table().Row(i).cells[kFirstVoiceColumn + 2] != "-" ? 1 : 0;
    }
  }
  if (assessedRows == 0) {
    std::fprintf(stderr, "refresh_timing: no row showed assessed figures\n");
    return 1;
  }
  std::sort(us.begin(), us.end());
  std::sort(presenterUs.begin(), presenterUs.end());
  std::sort(cpuUs.begin(), cpuUs.end());
  auto at = [&](double p) { return us[std::min(us.size() - 1, static_cast<std::size_t>(p * us.size()))]; };
  std::printf("refresh of %d rows, %d rounds: median %.0f us, p95 %.0f us, max %.0f us\n", kRows,
              rounds, at(0.5), at(0.95), us.back());
  std::printf("CPU time of the user-interface thread: median %.0f us, p95 %.0f us\n",
              cpuUs[cpuUs.size() / 2], cpuUs[std::min(cpuUs.size() - 1, cpuUs.size() * 95 / 100)]);
  std::printf("of which the presenter writing the rows: median %.0f us\n",
              presenterUs[presenterUs.size() / 2]);

  std::sort(workerUs.begin(), workerUs.end());
  std::printf("the worker's assessments after each refresh (every row's: each round changes "
              "every count): "
              "median %.0f us, max %.0f us\n",
              workerUs[workerUs.size() / 2], workerUs.back());
  std::vector<double> assessUs;
  for (int round = 0; round < 20; ++round) {
    auto start = std::chrono::steady_clock::now();
    VoiceQuality voice = AssessCycle(cycle);
    auto end = std::chrono::steady_clock::now();
    if (voice.loss.sent == 0) return 1;
    assessUs.push_back(std::chrono::duration<double, std::micro>(end - start).count());
  }
  std::sort(assessUs.begin(), assessUs.end());
  std::printf("assessing one running 5-minute cycle (15000 frames): median %.0f us\n",
              assessUs[assessUs.size() / 2]);
  return 0;
}
