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
#include "support/RecordingObserver.h"
#include "support/SimProcess.h"
#include "support/UdpPeer.h"
#include "transport/Clock.h"
#include "transport/PATHMONSocket.h"

namespace pathmon {
namespace {

using testing::Ip;
using testing::RecordingObserver;
using testing::SimPhoneCounters;
using testing::SimProcess;

// A simulated phone per case; one registry and one test socket for the whole suite.
class LoopTestIntegration : public ::testing::Test {
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

  // Control exchange, then the test, reporting to observer; the test, running.
  static LoopTest* Begin(const char* serial, const char* address, int32_t seconds,
                         const std::shared_ptr<RecordingObserver>& observer) {
    LoopTest* test = registry_->GetOrCreateLoopTest(nullptr, serial);
    EXPECT_NE(test, nullptr);
    if (test == nullptr) return nullptr;
    test->SetObservers("", {observer});
    EXPECT_EQ(SendStartCommand(3, Ip(address), *test), 1);
    EXPECT_EQ(StartLoopTest(seconds, 20, Ip(address), test), 0);
    return test;
  }

  // The figures of the only cycle result of an ended test.
  static TestStatistics Only(RecordingObserver& observer) {
    const std::vector<CycleResult> cycles = observer.Cycles();
    EXPECT_EQ(cycles.size(), 1u);
    EXPECT_EQ(observer.Finished().size(), 1u);
    return cycles.empty() ? TestStatistics{} : cycles.back().stats;
  }

  static void WaitUntilStopped(LoopTest* test, int seconds) {
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (test->IsRunning() && std::chrono::steady_clock::now() < until) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }

  // A test of `seconds`, waited for at most `waitSeconds`; the figures of its only cycle.
  static TestStatistics RunToEnd(
      const char* serial, const char* address, int32_t seconds, int waitSeconds,
      const std::shared_ptr<RecordingObserver>& observer = std::make_shared<RecordingObserver>()) {
    LoopTest* test = Begin(serial, address, seconds, observer);
    if (test == nullptr) return {};
    WaitUntilStopped(test, waitSeconds);
    EXPECT_FALSE(test->IsRunning());
    return Only(*observer);
  }

  static SessionRegistry* registry_;
  static TestSocket* socket_;
};

SessionRegistry* LoopTestIntegration::registry_ = nullptr;
TestSocket* LoopTestIntegration::socket_ = nullptr;

TEST_F(LoopTestIntegration, DropPatternGivesExactlyItsLossBurstsAndInterruptions) {
  SimProcess sim({"--phone", "127.51.0.1 serial=SN-DROP drop=100-109,300,500-549,700-704"});
  ASSERT_TRUE(sim.Ok());
  const TestStatistics s = RunToEnd("SN-DROP", "127.51.0.1", 20, 30);
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

// Every frame accounted for, against phones whose own counters say what they dropped: loss
// before the first echo, a single lost frame 0, outages wherever the windows opened, echoes
// that overtake each other, and a path that dies, seen while the test runs.
TEST_F(LoopTestIntegration, EveryFrameIsReceivedOrLostAndADeadPathShowsAtOnce) {
  struct Case {
    const char* address;
    const char* settings;
    int32_t lost, maxBurstLost, interruptions;  // -1: not checked beyond the phone's count
    int64_t firstSpan;                          // the first span's first frame; -1: none
  };
  // Five outages (at 2, 4, ... 10 s), the last perhaps cut short by the test's end.
  const Case cases[] = {
      {"127.51.0.7", "drop=0-249", 250, 250, 5, 0},
      {"127.51.0.8", "drop=0", 1, 1, 0, -1},
      {"127.51.0.9", "outage=50 every=2", -1, -1, 5, -1},
      {"127.51.0.10", "delay=60 jitter=100", 0, 0, 0, -1},
      {"127.51.0.11", "dead-from=300", -1, -1, -1, 300},
  };
  std::vector<std::string> args;
  for (const Case& c : cases) {
    args.insert(args.end(), {"--phone", std::string(c.address) + " serial=" + c.address + " " +
                                            c.settings});
  }
  SimProcess sim(args);
  ASSERT_TRUE(sim.Ok());
  std::vector<std::shared_ptr<RecordingObserver>> observers;
  std::vector<LoopTest*> tests;
  for (const Case& c : cases) {
    observers.push_back(std::make_shared<RecordingObserver>());
    tests.push_back(Begin(c.address, c.address, 11, observers.back()));
    ASSERT_NE(tests.back(), nullptr);
  }
  // 3 s after the path died (frame 300, 6 s in), 9 s in: the running figures show it.
  std::this_thread::sleep_for(std::chrono::seconds(9));
  const TestStatistics dying = tests[4]->Statistics();
  EXPECT_GE(dying.lost, 100);
  EXPECT_EQ(dying.lost, dying.maxBurstLost);
  EXPECT_GE(dying.interruptions, 2);
  EXPECT_GE(tests[4]->EchoSilence(), std::chrono::seconds(2));
  for (LoopTest* test : tests) WaitUntilStopped(test, 20);

  auto phones = sim.Stop();
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.settings);
    const TestStatistics s = Only(*observers[i]);
    const SimPhoneCounters& phone = phones[c.address];
    EXPECT_EQ(phone.framesReceived, s.sent);
    EXPECT_EQ(s.sent, s.received + s.lost);
    EXPECT_EQ(s.lost, phone.framesDropped);
    EXPECT_EQ(s.lostCounted, s.lost);  // nothing was counted lost live and taken back
    if (c.lost >= 0) {
      EXPECT_EQ(s.lost, c.lost);
      EXPECT_EQ(s.maxBurstLost, c.maxBurstLost);
    }
    if (c.interruptions >= 0) {
      EXPECT_EQ(s.interruptions, c.interruptions);
    }
    const VoiceQuality voice = observers[i]->Cycles().at(0).voice;
    EXPECT_EQ(voice.loss.lost, s.lost);
    if (c.firstSpan >= 0) {
      ASSERT_FALSE(voice.interruptions.empty());
      EXPECT_EQ(voice.interruptions[0].firstSequence, c.firstSpan);
    }
  }
}

TEST_F(LoopTestIntegration, InjectedDelayShowsInTheRoundTripTime) {
  SimProcess sim({"--phone", "127.51.0.2 serial=SN-SLOW delay=100"});
  ASSERT_TRUE(sim.Ok());
  auto observer = std::make_shared<RecordingObserver>();
  const TestStatistics s = RunToEnd("SN-SLOW", "127.51.0.2", 4, 15, observer);
  EXPECT_GE(s.avgRtt, 100);
  EXPECT_LE(s.avgRtt, 102);
  EXPECT_EQ(s.lost, 0);
  EXPECT_EQ(s.received, s.sent);  // the grace at the end waits for the last echoes

  // In microseconds, from the instants the frame left and its echo was read.
  const VoiceQuality v = observer->Cycles().at(0).voice;
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
TEST_F(LoopTestIntegration, BurstyLossIsMeasuredAsTheGilbertModelThatMadeIt) {
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
  auto observer = std::make_shared<RecordingObserver>();
  test->SetObservers("", {observer});
  ASSERT_EQ(SendStartCommand(3, Ip("127.51.0.6"), *test), 1);
  // No end of its own: stopped at its first cycle result, however long slots skipped on a
  // busy machine made the cycle.
  ASSERT_EQ(StartLoopTest(0, 20, Ip("127.51.0.6"), test), 0);
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(120);
  while (observer->Cycles().empty() && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  StopLoopTest(test);
  ASSERT_FALSE(test->IsRunning());
  socket.Stop();

  ASSERT_GE(observer->Cycles().size(), 1u);
  const LossModel loss = observer->Cycles()[0].voice.loss;
  EXPECT_EQ(loss.sent, 15'000);
  EXPECT_NEAR(loss.p, 0.05, 0.005);
  EXPECT_NEAR(loss.q, 0.25, 0.025);
  EXPECT_GT(loss.lost, 0);
}

TEST_F(LoopTestIntegration, PhoneGoingOffHookEndsTheTest) {
  SimProcess sim({"--phone", "127.51.0.3 serial=SN-HOOK offhook-after=3"});
  ASSERT_TRUE(sim.Ok());
  auto observer = std::make_shared<RecordingObserver>();
  LoopTest* test = Begin("SN-HOOK", "127.51.0.3", 60, observer);
  ASSERT_NE(test, nullptr);
  auto started = std::chrono::steady_clock::now();
  WaitUntilStopped(test, 15);
  EXPECT_FALSE(test->IsRunning());
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(8));
  const TestStatistics s = Only(*observer);
  EXPECT_GE(s.sent, 100);  // about three seconds of frames
  EXPECT_LE(s.sent, 260);

  // Off hook, the phone refuses a new test.
  EXPECT_NE(SendStartCommand(2, Ip("127.51.0.3"), *test), 1);
}

TEST_F(LoopTestIntegration, SilentPhoneFailsTheControlExchange) {
  SimProcess sim({"--phone", "127.51.0.4 serial=SN-QUIET silent=1"});
  ASSERT_TRUE(sim.Ok());
  LoopTest* test = registry_->GetOrCreateLoopTest(nullptr, "SN-QUIET");
  ASSERT_NE(test, nullptr);
  EXPECT_EQ(SendStartCommand(3, Ip("127.51.0.4"), *test), 3);
  EXPECT_FALSE(test->IsRunning());
  EXPECT_EQ(sim.Stop()["127.51.0.4"].framesEchoed, 0);
}

TEST_F(LoopTestIntegration, NewNoncesMidTestAreTakenOver) {
  SimProcess sim({"--phone", "127.51.0.5 serial=SN-ROTATE rotate=60"});
  ASSERT_TRUE(sim.Ok());
  const TestStatistics s = RunToEnd("SN-ROTATE", "127.51.0.5", 4, 15);
  EXPECT_GE(s.sent, 150);
  EXPECT_EQ(s.lost, 0);
  EXPECT_EQ(s.received, s.sent);

  auto phone = sim.Stop()["127.51.0.5"];
  EXPECT_GE(phone.noncesIssued, 3);  // the answer to the control message, then every 60 frames
  EXPECT_EQ(phone.badSignature, 0);  // every frame verified at the phone
  EXPECT_EQ(phone.framesEchoed, phone.framesReceived);
}

}  // namespace
}  // namespace pathmon
