#include "transport/Clock.h"

#include <ctime>
#include <thread>

namespace pathmon {
namespace {

class RealClock final : public Clock {
 public:
  uint32_t TickMs() override {
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now().time_since_epoch());
    return static_cast<uint32_t>(static_cast<uint64_t>(ms.count()));
  }
  int64_t WallSeconds() override { return static_cast<int64_t>(std::time(nullptr)); }
  TimePoint Now() override { return std::chrono::steady_clock::now(); }
  void SleepMs(int32_t ms) override {
    if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  }
  void SleepUntil(TimePoint deadline) override { std::this_thread::sleep_until(deadline); }
};

}  // namespace

Clock& SystemClock() {
  static RealClock clock;
  return clock;
}

}  // namespace pathmon
