// SPDX-License-Identifier: Apache-2.0
#include "transport/Clock.h"

#include <cerrno>
#include <ctime>
#include <thread>

namespace pathmon {
namespace {

class RealClock final : public Clock {
 public:
  uint32_t TickMs() override { return TickAt(std::chrono::steady_clock::now()); }
  uint32_t TickAt(TimePoint t) override {
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch());
    return static_cast<uint32_t>(static_cast<uint64_t>(ms.count()));
  }
  int64_t WallSeconds() override { return static_cast<int64_t>(std::time(nullptr)); }
  int64_t WallNs() override {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
  }
  TimePoint Now() override { return std::chrono::steady_clock::now(); }
  void SleepMs(int32_t ms) override {
    if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  }
  // An absolute wait on the clock the steady clock reads (CLOCK_MONOTONIC): the deadline
  // needs no reading of the time first, and one already past returns at once.
  void SleepUntil(TimePoint deadline) override {
    const int64_t ns =
        std::chrono::duration_cast<std::chrono::nanoseconds>(deadline.time_since_epoch()).count();
    if (ns <= 0) return;
    const timespec until{static_cast<time_t>(ns / 1'000'000'000),
                         static_cast<long>(ns % 1'000'000'000)};
    while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
    }
  }
};

}  // namespace

Clock& SystemClock() {
  static RealClock clock;
  return clock;
}

}  // namespace pathmon
