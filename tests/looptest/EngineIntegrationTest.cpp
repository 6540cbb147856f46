// SPDX-License-Identifier: Apache-2.0
// The loop-test engine against the simulated phone over real UDP on loopback, in real time.
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "looptest/SessionRegistry.h"
#include "support/Loopback.h"
#include "support/SimProcess.h"
#include "transport/Clock.h"
#include "transport/PATHMONSocket.h"

namespace pathmon {
namespace {

using testing::Ip;
using testing::SimPhoneCounters;
using testing::SimProcess;

// A simulated phone per case; one registry and one test socket for the whole suite.
class EngineIntegration : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    registry_ = new SessionRegistry(SystemClock(), [](const uint8_t* d, int n, uint32_t peer) {
      return socket_->Send(d, n, peer);
    });
    socket_ = new TestSocket(*registry_);
    ASSERT_EQ(socket_->Start(), 0);
  }

  static void TearDownTestSuite() {
    socket_->Stop();
    delete socket_;
    delete registry_;  // joins every test thread
  }

  // The figures of the final cycle result, captured when the test reports it.
  struct Outcome {
    std::mutex mutex;
    TestStatistics last;
    int cycleResults = 0;
    bool finished = false;
  };

  // The voice figures of every cycle result, as the test's observers hear them.
  struct VoiceCapture final : TestObserver {
    void OnCycleResult(const CycleResult& result) override {
      std::lock_guard lock(mutex);
      cycles.push_back(result.voice);
    }
    std::mutex mutex;
    std::vector<VoiceQuality> cycles;
  };

  static ResultCallback Capture(Outcome& outcome) {
    return [&outcome](LoopTest& test, int32_t, int32_t event) {
      std::lock_guard lock(outcome.mutex);
      if (event == kEventCycleResult) {
        outcome.last = test.Statistics();
        ++outcome.cycleResults;
      }
      if (event == kEventFinished) outcome.finished = true;
      return 0;
    };
  }

  // Control exchange, then the test; true when it runs.
  static LoopTest* Begin(const char* serial, const char* address, int32_t seconds,
                         Outcome& outcome, std::shared_ptr<TestObserver> observer = nullptr,
                         SessionRegistry* registry = registry_) {
    LoopTest* test = registry->GetOrCreateLoopTest(nullptr, serial);
    EXPECT_NE(test, nullptr);
    if (test == nullptr) return nullptr;
    if (observer != nullptr) test->SetObservers("", {observer});
    EXPECT_EQ(SendStartCommand(3, Ip(address), *test), 1);
    EXPECT_EQ(StartLoopTest(seconds, 20, Ip(address), Capture(outcome), test), 0);
    return test;
  }

  static void WaitUntilStopped(LoopTest* test, int seconds) {
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (test->IsRunning() && std::chrono::steady_clock::now() < until) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }

  static SessionRegistry* registry_;
  static TestSocket* socket_;
};

SessionRegistry* EngineIntegration::registry_ = nullptr;
TestSocket* EngineIntegration::socket_ = nullptr;

TEST_F(EngineIntegration, DropPatternGivesExactlyItsLossBurstsAndInterruptions) {
  SimProcess sim({"--phone", "127.51.0.1 serial=SN-DROP drop=100-109,300,500-549,700-704"});
  ASSERT_TRUE(sim.Ok());
  Outcome outcome;
  LoopTest* test = Begin("SN-DROP", "127.51.0.1", 20, outcome);
  ASSERT_NE(test, nullptr);
  WaitUntilStopped(test, 30);
  ASSERT_FALSE(test->IsRunning());

  std::lock_guard lock(outcome.mutex);
  ASSERT_TRUE(outcome.finished);
  EXPECT_EQ(outcome.cycleResults, 1);
  const TestStatistics& s = outcome.last;
  // 20 s at 50 frames a second; the wall clock's whole seconds allow one second less.
  EXPECT_GE(s.sent, 940);
  EXPECT_LE(s.sent, 1001);
  // 10 + 1 + 50 + 5 frames dropped; the windows closed by the 10 and the 50 interrupt.
  EXPECT_EQ(s.lost, 66);
  EXPECT_EQ(s.maxBurstLost, 50);
  EXPECT_EQ(s.interruptions, 2);
  EXPECT_EQ(s.received, s.sent - 66);
  EXPECT_EQ(s.delayed, 0);
  // No delay on loopback: an echo matched to the wrong frame would add 20 ms to the average.
  // The maximum is one echo, which a busy machine may hold up for a scheduling slice or two.
  EXPECT_LE(s.avgRtt, 5);
  EXPECT_LT(s.maxRtt, 100);

  auto phone = sim.Stop()["127.51.0.1"];
  EXPECT_EQ(phone.badSignature, 0);
  EXPECT_EQ(phone.controlMessages, 1);
  EXPECT_EQ(phone.framesReceived, s.sent);
  EXPECT_EQ(phone.framesDropped, 66);
  EXPECT_EQ(phone.framesEchoed, s.received);
}

TEST_F(EngineIntegration, InjectedDelayShowsInTheRoundTripTime) {
  SimProcess sim({"--phone", "127.51.0.2 serial=SN-SLOW delay=100"});
  ASSERT_TRUE(sim.Ok());
  Outcome outcome;
  auto voice = std::make_shared<VoiceCapture>();
  LoopTest* test = Begin("SN-SLOW", "127.51.0.2", 4, outcome, voice);
  ASSERT_NE(test, nullptr);
  WaitUntilStopped(test, 15);
  std::lock_guard lock(outcome.mutex);
  const TestStatistics& s = outcome.last;
  EXPECT_GE(s.avgRtt, 100);
  EXPECT_LE(s.avgRtt, 102);
  EXPECT_EQ(s.lost, 0);
  // The last echoes were still on their way when the test ended: they are simply missing.
  EXPECT_GE(s.received, s.sent - 6);

  // In microseconds, from the instants the frame left and its echo was read.
  std::lock_guard voiceLock(voice->mutex);
  ASSERT_EQ(voice->cycles.size(), 1u);
  const VoiceQuality& v = voice->cycles[0];
  EXPECT_GE(v.rtt.p50Us, 100'000);
  EXPECT_LE(v.rtt.p50Us, 101'000);
  EXPECT_LT(v.jitterUs, 1'000);
  EXPECT_EQ(v.loss.sent, s.sent);
}

// The steady clock running ten times faster than the machine's: a cycle of 15,000 frames
// at 2 ms of real time each, in 30 seconds. The wall clock is the machine's.
class FastClock final : public Clock {
 public:
  static constexpr int kFactor = 10;
  uint32_t TickMs() override {
    return static_cast<uint32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Now().time_since_epoch()).count());
  }
  int64_t WallSeconds() override { return SystemClock().WallSeconds(); }
  TimePoint Now() override { return origin_ + (std::chrono::steady_clock::now() - origin_) * kFactor; }
  void SleepMs(int32_t ms) override {
    std::this_thread::sleep_for(std::chrono::microseconds(int64_t{ms} * 1000 / kFactor));
  }
  void SleepUntil(TimePoint deadline) override {
    std::this_thread::sleep_until(origin_ + (deadline - origin_) / kFactor);
  }

 private:
  const TimePoint origin_ = std::chrono::steady_clock::now();
};

// The phone's two-state loss as the cycle's loss model measures it: a whole 5-minute cycle
// of frames, its p and q within 10 % of the phone's.
TEST_F(EngineIntegration, BurstyLossIsMeasuredAsTheGilbertModelThatMadeIt) {
  SimProcess sim({"--phone", "127.51.0.6 serial=SN-GILBERT gilbert-p=0.05 gilbert-q=0.25 rng=7"});
  ASSERT_TRUE(sim.Ok());
  FastClock clock;
  // Frames go out through this registry's own socket, so that the echoes come back to it.
  TestSocket* own = nullptr;
  SessionRegistry registry(clock, [&own](const uint8_t* d, int n, uint32_t peer) {
    return own->Send(d, n, peer);
  });
  TestSocket socket(registry);
  own = &socket;
  ASSERT_EQ(socket.Start(), 0);
  LoopTest* test = registry.GetOrCreateLoopTest(nullptr, "SN-GILBERT");
  ASSERT_NE(test, nullptr);
  auto voice = std::make_shared<VoiceCapture>();
  test->SetObservers("", {voice});
  ASSERT_EQ(SendStartCommand(3, Ip("127.51.0.6"), *test), 1);
  // No end of its own: stopped at its first cycle result, however long slots skipped on a
  // busy machine made the cycle.
  ASSERT_EQ(StartLoopTest(0, 20, Ip("127.51.0.6"), nullptr, test), 0);
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(120);
  auto cycles = [&voice] {
    std::lock_guard lock(voice->mutex);
    return voice->cycles.size();
  };
  while (cycles() == 0 && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  StopLoopTest(test);
  ASSERT_FALSE(test->IsRunning());
  socket.Stop();

  std::lock_guard lock(voice->mutex);
  ASSERT_GE(voice->cycles.size(), 1u);
  const LossModel& loss = voice->cycles[0].loss;
  EXPECT_EQ(loss.sent, 15'000);
  EXPECT_NEAR(loss.p, 0.05, 0.005);
  EXPECT_NEAR(loss.q, 0.25, 0.025);
  EXPECT_GT(loss.lost, 0);
}

TEST_F(EngineIntegration, PhoneGoingOffHookEndsTheTest) {
  SimProcess sim({"--phone", "127.51.0.3 serial=SN-HOOK offhook-after=3"});
  ASSERT_TRUE(sim.Ok());
  Outcome outcome;
  LoopTest* test = Begin("SN-HOOK", "127.51.0.3", 60, outcome);
  ASSERT_NE(test, nullptr);
  auto started = std::chrono::steady_clock::now();
  WaitUntilStopped(test, 15);
  EXPECT_FALSE(test->IsRunning());
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(8));
  {
    // Not held across the exchange below: the callback takes it under the test's lock.
    std::lock_guard lock(outcome.mutex);
    EXPECT_TRUE(outcome.finished);
    EXPECT_GE(outcome.last.sent, 100);  // about three seconds of frames
    EXPECT_LE(outcome.last.sent, 260);
  }

  // Off hook, the phone refuses a new test.
  EXPECT_NE(SendStartCommand(2, Ip("127.51.0.3"), *test), 1);
}

TEST_F(EngineIntegration, SilentPhoneFailsTheControlExchange) {
  SimProcess sim({"--phone", "127.51.0.4 serial=SN-QUIET silent=1"});
  ASSERT_TRUE(sim.Ok());
  LoopTest* test = registry_->GetOrCreateLoopTest(nullptr, "SN-QUIET");
  ASSERT_NE(test, nullptr);
  EXPECT_EQ(SendStartCommand(3, Ip("127.51.0.4"), *test), 3);
  EXPECT_FALSE(test->IsRunning());
  EXPECT_EQ(sim.Stop()["127.51.0.4"].framesEchoed, 0);
}

TEST_F(EngineIntegration, NewNoncesMidTestAreTakenOver) {
  SimProcess sim({"--phone", "127.51.0.5 serial=SN-ROTATE rotate=60"});
  ASSERT_TRUE(sim.Ok());
  Outcome outcome;
  LoopTest* test = Begin("SN-ROTATE", "127.51.0.5", 4, outcome);
  ASSERT_NE(test, nullptr);
  WaitUntilStopped(test, 15);
  std::lock_guard lock(outcome.mutex);
  EXPECT_GE(outcome.last.sent, 150);
  EXPECT_EQ(outcome.last.lost, 0);
  EXPECT_GE(outcome.last.received, outcome.last.sent - 1);

  auto phone = sim.Stop()["127.51.0.5"];
  EXPECT_GE(phone.noncesIssued, 3);  // the answer to the control message, then every 60 frames
  EXPECT_EQ(phone.badSignature, 0);  // every frame verified at the phone
  EXPECT_EQ(phone.framesEchoed, phone.framesReceived);
}

}  // namespace
}  // namespace pathmon
