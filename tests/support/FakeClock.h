// SPDX-License-Identifier: Apache-2.0
#pragma once
// A Clock whose time moves only when someone sleeps on it or a test advances it, so loop
// tests run in microseconds and give the same figures every time. It also notes every
// SleepMs and can run a hook on the sleeping thread, so a test can act while code waits.
//
// Contract: thread-safe.

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "transport/Clock.h"

namespace pathmon::testing {

class FakeClock final : public Clock {
 public:
  explicit FakeClock(uint32_t startTick = 1000, int64_t startWall = 1'765'000'000)
      : startTick_(startTick), startWall_(startWall) {}

  uint32_t TickMs() override { return startTick_ + static_cast<uint32_t>(elapsedUs_.load() / 1000); }
  int64_t WallSeconds() override { return startWall_.load() + elapsedUs_.load() / 1'000'000; }
  int64_t WallNs() override {
    return startWall_.load() * 1'000'000'000 + elapsedUs_.load() * 1000;
  }
  TimePoint Now() override { return TimePoint{} + std::chrono::microseconds(elapsedUs_.load()); }
  uint32_t TickAt(TimePoint t) override {
    return startTick_ + static_cast<uint32_t>(t.time_since_epoch() / std::chrono::milliseconds(1));
  }
  void SleepMs(int32_t ms) override {
    std::function<void(int32_t)> hook;
    {
      std::lock_guard lock(mutex_);
      sleeps_.push_back(ms);
      hook = hook_;
    }
    if (ms > 0) AdvanceMs(ms);
    if (hook) hook(ms);
    // Polling loops that wait for another thread need that thread to make progress.
    if (realSleepUs_ > 0) std::this_thread::sleep_for(std::chrono::microseconds(realSleepUs_));
  }
  void SleepUntil(TimePoint deadline) override {
    int64_t target = std::chrono::duration_cast<std::chrono::microseconds>(
                         deadline.time_since_epoch()).count();
    int64_t now = elapsedUs_.load();
    while (target > now && !elapsedUs_.compare_exchange_weak(now, target)) {
    }
  }

  // Each SleepMs also sleeps this long for real (0: not at all).
  void SetRealSleepUs(int us) { realSleepUs_ = us; }
  void AdvanceMs(int64_t ms) { elapsedUs_.fetch_add(ms * 1000); }
  // Sets the calendar clock forward (or back, negative) without moving the steady clock.
  void StepWallSeconds(int64_t seconds) { startWall_.fetch_add(seconds); }
  void AdvanceUs(int64_t us) { elapsedUs_.fetch_add(us); }
  // WallSeconds is seconds from now on, moving on with the clock as before.
  void SetWallSeconds(int64_t seconds) { startWall_.store(seconds - elapsedUs_.load() / 1'000'000); }
  // Runs on the sleeping thread after each SleepMs has moved the clock; nullptr for none.
  void SetSleepHook(std::function<void(int32_t ms)> hook) {
    std::lock_guard lock(mutex_);
    hook_ = std::move(hook);
  }
  int64_t ElapsedMs() const { return elapsedUs_.load() / 1000; }
  int SleepCalls() const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(sleeps_.size());
  }
  std::vector<int32_t> Sleeps() const {  // every SleepMs's argument, in order
    std::lock_guard lock(mutex_);
    return sleeps_;
  }

 private:
  uint32_t startTick_;
  std::atomic<int64_t> startWall_;
  std::atomic<int64_t> elapsedUs_{0};
  int realSleepUs_ = 0;
  mutable std::mutex mutex_;
  std::vector<int32_t> sleeps_;
  std::function<void(int32_t)> hook_;
};

}  // namespace pathmon::testing
