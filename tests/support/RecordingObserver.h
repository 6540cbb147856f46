// SPDX-License-Identifier: Apache-2.0
#pragma once
// An observer that keeps every event of the tests it hears, in order. Thread-safe.

#include <mutex>
#include <vector>

#include "looptest/LoopTest.h"

namespace pathmon::testing {

class RecordingObserver final : public TestObserver {
 public:
  void OnStarted(const TestStarted& e) override { Add(kEventStarted, e.phone); }
  void OnProgress(const TestProgress& e) override { Add(kEventProgress, e.phone); }
  void OnCycleResult(const CycleResult& e) override {
    std::lock_guard lock(mutex_);
    events_.push_back(kEventCycleResult);
    cycles_.push_back(e);
  }
  void OnFinished(const TestFinished& e) override {
    std::lock_guard lock(mutex_);
    events_.push_back(kEventFinished);
    finished_.push_back(e);
  }

  std::vector<int32_t> Events() {
    std::lock_guard lock(mutex_);
    return events_;
  }
  std::vector<CycleResult> Cycles() {
    std::lock_guard lock(mutex_);
    return cycles_;
  }
  std::vector<TestFinished> Finished() {
    std::lock_guard lock(mutex_);
    return finished_;
  }
  int Count(int32_t event) {
    std::lock_guard lock(mutex_);
    int n = 0;
    for (int32_t e : events_) n += e == event;
    return n;
  }

 private:
  void Add(int32_t event, const TestIdentity&) {
    std::lock_guard lock(mutex_);
    events_.push_back(event);
  }

  std::mutex mutex_;
  std::vector<int32_t> events_;
  std::vector<CycleResult> cycles_;
  std::vector<TestFinished> finished_;
};

}  // namespace pathmon::testing
