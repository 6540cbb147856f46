// SPDX-License-Identifier: Apache-2.0
// What a running loop test does with the datagrams that arrive from its phone. One thread,
// no socket: the test runs on the fuzzer's thread with a clock that moves only when the test
// sleeps, and each of its sleeps between two frames hands the next event of the input to the
// registry, as the receive thread would. Whatever arrives, the counters of a cycle never go
// negative, the result line always fits, and a closed cycle's frames are each received or
// lost, as its voice figures count them.
//
// Input: a byte choosing the interval, a byte choosing the duration, then one event per
// frame sent (see Step).

#include <arpa/inet.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "looptest/SessionRegistry.h"
#include "transport/Clock.h"
#include "transport/DebugTrace.h"

namespace {

using namespace pathmon;

class SteppedClock final : public Clock {
 public:
  uint32_t TickMs() override { return 1000 + static_cast<uint32_t>(us_ / 1000); }
  int64_t WallSeconds() override { return 1'765'000'000 + us_ / 1'000'000; }
  TimePoint Now() override { return TimePoint{} + std::chrono::microseconds(us_); }
  void SleepMs(int32_t ms) override {
    if (ms > 0) us_ += int64_t{ms} * 1000;
  }
  void SleepUntil(TimePoint deadline) override {
    const int64_t target =
        std::chrono::duration_cast<std::chrono::microseconds>(deadline.time_since_epoch()).count();
    if (target > us_) us_ = target;
    if (onSleep) onSleep();
  }
  void AdvanceMs(int64_t ms) { us_ += ms * 1000; }

  std::function<void()> onSleep;

 private:
  int64_t us_ = 0;
};

class Input {
 public:
  Input(const uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool Empty() const { return at_ >= size_; }
  uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
  uint32_t Le32() {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= uint32_t{Byte()} << (8 * i);
    return v;
  }
  // Up to n bytes, fewer at the end of the input.
  std::size_t Take(uint8_t* out, std::size_t n) {
    n = std::min(n, size_ - std::min(at_, size_));
    std::memcpy(out, data_ + at_, n);
    at_ += n;
    return n;
  }

 private:
  const uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

void CheckFigures(const TestStatistics& s) {
  if (s.lost < 0 || s.received < 0 || s.delayed < 0 || s.maxBurstLost < 0 ||
      s.interruptions < 0 || s.windowLoss < 0 || s.sent < 0 || s.lateEchoes > s.lostCounted ||
      s.received + s.lost > s.sent) {
    std::abort();
  }
  char line[128];
  const int written = FormatResult(s, line, sizeof line);
  if (written < 0 || static_cast<std::size_t>(written) >= sizeof line ||
      std::strlen(line) != static_cast<std::size_t>(written)) {
    std::abort();
  }
}

void CheckStatistics(LoopTest& test) { CheckFigures(test.Statistics()); }

// A closed cycle accounts for every frame, and its voice figures count the same loss.
class CycleCheck final : public TestObserver {
 public:
  void OnCycleResult(const CycleResult& result) override {
    const TestStatistics& s = result.stats;
    CheckFigures(s);
    if (s.sent != s.received + s.lost || s.lostCounted - s.lateEchoes != s.lost ||
        result.voice.loss.lost != s.lost || result.voice.loss.sent != s.sent) {
      std::abort();
    }
  }
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  SetTraceSink([](void*, std::string_view) {}, nullptr);  // a line per test: only noise here
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  Input input(data, size);
  static constexpr int32_t kIntervals[] = {20, 1000, 7, 3000};  // 1000: a cycle in 300 frames
  const int32_t interval = kIntervals[input.Byte() % 4];
  const int32_t duration = input.Byte() % 2 == 0 ? 0 : 600;  // 0: until the input ends

  SteppedClock clock;
  uint8_t lastSent[kDatagramSize] = {};
  SessionRegistry registry(clock, [&](const uint8_t* bytes, int length, uint32_t) {
    std::memcpy(lastSent, bytes, std::min<std::size_t>(static_cast<std::size_t>(length),
                                                        sizeof lastSent));
    return 0;
  });
  LoopTest* test = registry.GetOrCreateLoopTest(nullptr, "FZ000001");
  if (test == nullptr) std::abort();
  const uint32_t peer = htonl(0x7F000001);
  test->SetObservers("", {std::make_shared<CycleCheck>()});

  // One event after each frame sent.
  clock.onSleep = [&] {
    if (input.Empty()) {
      test->RequestStop();
      return;
    }
    uint8_t datagram[256] = {};
    const uint8_t op = input.Byte();
    switch (op % 6) {
      case 0:  // nothing came back
        break;
      case 1:  // the echo of the frame just sent, after a delay
        clock.AdvanceMs(input.Byte() * 4);
        registry.Dispatch(peer, lastSent, static_cast<int>(kDatagramSize));
        break;
      case 2: {  // an echo with another sequence number and send tick
        std::memcpy(datagram, lastSent, kDatagramSize);
        WriteLe32(datagram + kOffsetSequence, input.Le32());
        WriteLe32(datagram + kOffsetSendTick, input.Le32());
        registry.Dispatch(peer, datagram, static_cast<int>(kDatagramSize));
        break;
      }
      case 3: {  // any bytes, of any length up to 255
        const std::size_t n = input.Take(datagram, input.Byte());
        registry.Dispatch(peer, datagram, static_cast<int>(n));
        break;
      }
      case 4: {  // any bytes from another address
        const std::size_t n = input.Take(datagram, input.Byte());
        registry.Dispatch(htonl(0x7F000002), datagram, static_cast<int>(n));
        break;
      }
      default:  // a stall of the sending thread
        clock.AdvanceMs(int64_t{input.Byte()} * 50);
        break;
    }
    CheckStatistics(*test);
  };

  test->Run(duration, interval, peer);
  CheckStatistics(*test);
  return 0;
}
