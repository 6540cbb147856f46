// SPDX-License-Identifier: Apache-2.0
#pragma once
// The assessment of the tests' voice figures off the user-interface thread. Assessing a
// running cycle copies and sorts all of its frames (about 0.35 ms a test, 45 ms for 128
// running tests), too long for the window's refresh; the window asks for figures here and
// shows the last finished ones at its next refresh.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <thread>

#include "frontend/Backend.h"
#include "frontend/VoiceChart.h"

namespace pathmon {

// A phone window's figures, assessed together: the chart and the voice figures it was drawn
// from.
struct ChartFigures {
  uint64_t number = 0;  // counts up with every chart finished, over all tests
  LiveChart chart;
  VoiceQuality voice;
};

// Contract: every method may be called from any thread; the assessments run on one thread of
// its own, which calls backend.Voice and backend.Timings and nothing else of the backend.
// A LoopTest handed to Request is used until its job is done, and the registry's tests live
// as long as the registry; so the worker must be stopped (Stop, or destroyed) before the
// backend's tests are destroyed. Stop drops the jobs not begun and waits for the one running:
// once it returns, no test is touched again.
class VoiceWorker {
 public:
  explicit VoiceWorker(MainBackend& backend);
  ~VoiceWorker();
  VoiceWorker(const VoiceWorker&) = delete;
  VoiceWorker& operator=(const VoiceWorker&) = delete;

  // Queues an assessment of test's voice figures, and with chart its live chart as well;
  // a test already queued is not queued twice (the chart is added to its job). Ignored once
  // stopped.
  void Request(LoopTest& test, bool chart = false);
  // The voice figures finished since the last call, the newest for each test. One caller
  // (the main window) takes them.
  std::map<const LoopTest*, VoiceQuality> TakeVoices();
  // The test's last finished chart; nullopt before the first.
  std::optional<ChartFigures> LastChart(const LoopTest& test) const;
  // Drops test's last chart (its window closed).
  void ForgetChart(const LoopTest& test);
  void Stop();
  // Waits until nothing is queued or running (for tests and timings).
  void WaitIdle();

 private:
  struct Job {
    LoopTest* test;
    bool chart;
  };
  void Run();

  MainBackend& backend_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;  // a job queued, or stopping
  std::condition_variable idle_;  // the queue ran empty
  std::deque<Job> queue_;
  bool busy_ = false;
  bool stopping_ = false;
  uint64_t charts_ = 0;
  std::map<const LoopTest*, VoiceQuality> voices_;
  std::map<const LoopTest*, ChartFigures> lastCharts_;
  std::thread thread_;  // last: starts once the members above exist
};

}  // namespace pathmon
