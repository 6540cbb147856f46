// SPDX-License-Identifier: Apache-2.0
#pragma once
// An observer that keeps every event of the tests it hears, in order, and can run a hook on
// the test's thread as each arrives. Thread-safe.

#include <functional>
#include <mutex>
#include <vector>

#include "looptest/LoopTest.h"

namespace pathmon::testing {

enum class Event { kStarted, kProgress, kSpan, kCycleResult, kFinished };

class RecordingObserver final : public TestObserver {
 public:
  void OnStarted(const TestStarted&) override { Add(Event::kStarted); }
  void OnProgress(const TestProgress& e) override {
    Add(Event::kProgress, [&] { progress_.push_back(e.elapsedSeconds); });
  }
  void OnInterruptionSpan(const InterruptionSpanClosed& e) override {
    Add(Event::kSpan, [&] { spans_.push_back(e); });
  }
  void OnCycleResult(const CycleResult& e) override {
    Add(Event::kCycleResult, [&] { cycles_.push_back(e); });
  }
  void OnFinished(const TestFinished& e) override {
    Add(Event::kFinished, [&] { finished_.push_back(e); });
  }

  // Runs on the test's thread after each event is recorded, without the recorder's lock.
  void SetHook(std::function<void(Event)> hook) { hook_ = std::move(hook); }

  std::vector<Event> Events() { return Get(events_); }
  std::vector<int32_t> Progress() { return Get(progress_); }  // each progress's seconds
  std::vector<InterruptionSpanClosed> Spans() { return Get(spans_); }
  std::vector<CycleResult> Cycles() { return Get(cycles_); }
  std::vector<TestFinished> Finished() { return Get(finished_); }
  int Count(Event event) {
    std::lock_guard lock(mutex_);
    int n = 0;
    for (Event e : events_) n += e == event;
    return n;
  }

 private:
  void Add(Event event, const std::function<void()>& keep = nullptr) {
    {
      std::lock_guard lock(mutex_);
      events_.push_back(event);
      if (keep) keep();
    }
    if (hook_) hook_(event);
  }
  template <typename T>
  std::vector<T> Get(const std::vector<T>& list) {
    std::lock_guard lock(mutex_);
    return list;
  }

  std::mutex mutex_;
  std::function<void(Event)> hook_;
  std::vector<Event> events_;
  std::vector<int32_t> progress_;
  std::vector<InterruptionSpanClosed> spans_;
  std::vector<CycleResult> cycles_;
  std::vector<TestFinished> finished_;
};

}  // namespace pathmon::testing
