// SPDX-License-Identifier: Apache-2.0
#include "frontend/VoiceWorker.h"

#include <algorithm>
#include <utility>

namespace pathmon {

VoiceWorker::VoiceWorker(MainBackend& backend) : backend_(backend), thread_([this] { Run(); }) {}

VoiceWorker::~VoiceWorker() { Stop(); }

void VoiceWorker::Request(LoopTest& test, bool chart) {
  {
    std::lock_guard lock(mutex_);
    if (stopping_) return;
    auto queued = std::find_if(queue_.begin(), queue_.end(),
                               [&test](const Job& job) { return job.test == &test; });
    if (queued != queue_.end()) {
      queued->chart = queued->chart || chart;
      return;
    }
    queue_.push_back({&test, chart});
  }
  wake_.notify_one();
}

std::map<const LoopTest*, VoiceQuality> VoiceWorker::TakeVoices() {
  std::lock_guard lock(mutex_);
  return std::exchange(voices_, {});
}

std::optional<ChartFigures> VoiceWorker::LastChart(const LoopTest& test) const {
  std::lock_guard lock(mutex_);
  auto found = lastCharts_.find(&test);
  if (found == lastCharts_.end()) return std::nullopt;
  return found->second;
}

void VoiceWorker::ForgetChart(const LoopTest& test) {
  std::lock_guard lock(mutex_);
  lastCharts_.erase(&test);
}

void VoiceWorker::Stop() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    queue_.clear();
  }
  wake_.notify_one();
  idle_.notify_all();
  // Joined here, not only in the destructor: the job running ends before Stop returns.
  if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

void VoiceWorker::WaitIdle() {
  std::unique_lock lock(mutex_);
  idle_.wait(lock, [this] { return stopping_ || (queue_.empty() && !busy_); });
}

void VoiceWorker::Run() {
  std::unique_lock lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
    if (stopping_) break;
    Job job = queue_.front();
    queue_.pop_front();
    busy_ = true;
    lock.unlock();
    // Outside the worker's lock: the test's own lock is taken inside, and a caller that
    // requests meanwhile must not wait for the assessment.
    std::optional<LiveChart> chart;
    VoiceQuality voice;
    if (job.chart) {
      // The timings first: the voice figures then cover at least the charted frames.
      CycleTimings timings = backend_.Timings(*job.test);
      voice = backend_.Voice(*job.test);
      chart = ChartCycle(timings, voice);
    } else {
      voice = backend_.Voice(*job.test);
    }
    lock.lock();
    busy_ = false;
    if (chart) {
      lastCharts_[job.test] = ChartFigures{++charts_, std::move(*chart), voice};
    }
    voices_[job.test] = std::move(voice);
    if (queue_.empty()) idle_.notify_all();
  }
  busy_ = false;
}

}  // namespace pathmon
