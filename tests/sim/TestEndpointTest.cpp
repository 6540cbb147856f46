// SPDX-License-Identifier: Apache-2.0
// The test endpoint's logic with time passed in: timed impairments without waiting.

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cmath>
#include <set>

#include "ToolSide.h"
#include "looptest/VoiceQuality.h"
#include "sim/TestEndpoint.h"

namespace pathmon::sim {
namespace {

using namespace std::chrono_literals;
using testing::Bytes;
using testing::Frame;
using testing::NonceBytes;

class EndpointTest : public ::testing::Test {
 protected:
  void Make(const std::string& settings) {
    config_ = ParsePhoneLine("127.10.9.1 serial=T1 " + settings);
    endpoint_.emplace(config_, 99, now_);
    tool_.sin_family = AF_INET;
    tool_.sin_port = htons(40000);
    tool_.sin_addr.s_addr = inet_addr("127.10.9.100");
  }
  std::vector<Outgoing> Send(const Bytes& bytes) {
    std::vector<Outgoing> out;
    endpoint_->OnDatagram(bytes.data(), bytes.size(), tool_, now_, out);
    return out;
  }
  NonceBytes Start(const std::string& serial = "T1") {
    const auto out = Send(testing::ControlMessage(serial));
    EXPECT_EQ(out.size(), 1u);
    NonceBytes n{};
    if (!out.empty()) std::copy(out[0].bytes.begin() + 20, out[0].bytes.begin() + 28, n.begin());
    return n;
  }
  // What the endpoint sends when its time is looked at d later.
  std::vector<Outgoing> After(SimTime::duration d) {
    now_ += d;
    std::vector<Outgoing> out;
    endpoint_->OnTime(now_, out);
    return out;
  }
  // Frames 20 ms apart from the current time; returns the sequence numbers echoed.
  std::set<uint32_t> Run(const NonceBytes& nonce, uint32_t from, uint32_t count) {
    std::set<uint32_t> echoed;
    for (uint32_t seq = from; seq < from + count; ++seq) {
      for (const Outgoing& o : Send(Frame("T1", nonce, seq, seq))) {
        if (GetLe32(o.bytes.data() + kAtEndFlag) == 0)
          echoed.insert(GetLe32(o.bytes.data() + kAtSequence));
      }
      now_ += 20ms;
    }
    return echoed;
  }

  PhoneConfig config_;
  std::optional<TestEndpoint> endpoint_;
  sockaddr_in tool_{};
  SimTime now_ = SimTime() + 1000s;
};

TEST_F(EndpointTest, OutageLosesNFramesEverySSecondsOfATest) {
  Make("outage=5 every=1");
  const NonceBytes nonce = Start();
  const auto echoed = Run(nonce, 0, 160);  // 3.2 s of frames
  // The test starts with frame 0: outages at 1 s, 2 s and 3 s are frames 50, 100 and 150.
  EXPECT_EQ(testing::LostOf(echoed, 160),
            (std::vector<uint32_t>{50, 51, 52, 53, 54, 100, 101, 102, 103, 104, 150, 151, 152, 153,
                                   154}));
  EXPECT_EQ(endpoint_->Counters().framesDropped, 15);
}

TEST_F(EndpointTest, OffHookAfterTSecondsEndsTheTestAndComesBackLater) {
  Make("offhook-after=2 offhook-for=5");
  const NonceBytes nonce = Start();
  Run(nonce, 0, 1);
  EXPECT_EQ(endpoint_->NextDeadline(), now_ - 20ms + 2s);
  const auto out = After(2s);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_NE(GetLe32(out[0].bytes.data() + kAtEndFlag), 0u);
  EXPECT_EQ(out[0].to.sin_port, tool_.sin_port);  // to the tool's address and port
  EXPECT_EQ(out[0].to.sin_addr.s_addr, tool_.sin_addr.s_addr);
  EXPECT_TRUE(endpoint_->OffHook());

  EXPECT_TRUE(Run(nonce, 1, 10).empty());                    // no more echoes
  EXPECT_TRUE(Send(testing::ControlMessage("T1")).empty());  // a new test is refused
  After(5s);
  EXPECT_FALSE(endpoint_->OffHook());
  const NonceBytes again = Start();
  EXPECT_EQ(Run(again, 0, 3).size(), 3u);
  EXPECT_EQ(endpoint_->Counters().framesDropped, 10);
}

TEST_F(EndpointTest, OffHookFromTheStartRefusesUntilOffHookForHasPassed) {
  Make("offhook offhook-for=3");
  EXPECT_TRUE(Send(testing::ControlMessage("T1")).empty());
  EXPECT_EQ(endpoint_->NextDeadline(), now_ + 3s);
  EXPECT_TRUE(After(3s).empty());  // no test was running: nothing to end
  EXPECT_EQ(Run(Start(), 0, 2).size(), 2u);
  EXPECT_EQ(endpoint_->Counters().controlMessages, 2);
}

TEST_F(EndpointTest, OffHookWithoutARunningTestSendsNothing) {
  Make("offhook-after=1");
  Start();
  EXPECT_TRUE(After(10s).empty());  // the clock runs from the first frame, not the control answer
  EXPECT_FALSE(endpoint_->NextDeadline());
}

TEST_F(EndpointTest, ANewControlMessageEndsTheTestAndItsTimers) {
  Make("offhook-after=2");
  Run(Start(), 0, 1);
  now_ += 1s;
  const NonceBytes next = Start();
  EXPECT_FALSE(endpoint_->NextDeadline());
  EXPECT_TRUE(After(5s).empty());
  Run(next, 0, 1);  // the new test's clock starts here
  EXPECT_EQ(endpoint_->NextDeadline(), now_ - 20ms + 2s);
}

TEST_F(EndpointTest, RandomLossDependsOnlyOnTheGeneratorStateAndTheFrameCount) {
  Make("loss=0.1 rng=42");
  const auto a = Run(Start(), 0, 1000);
  Make("loss=0.1 rng=42");
  const auto b = Run(Start(), 0, 1000);
  EXPECT_EQ(a, b);
  EXPECT_GT(a.size(), 850u);
  EXPECT_LT(a.size(), 950u);
  // Dropping fixed ranges as well does not shift which other frames are lost.
  Make("loss=0.1 rng=42 drop=0-99");
  const auto c = Run(Start(), 0, 1000);
  std::set<uint32_t> aAbove100(a.lower_bound(100), a.end());
  EXPECT_EQ(c, aAbove100);
}

TEST_F(EndpointTest, DelayAndJitterSetTheDueTime) {
  Make("delay=100 jitter=50");
  const NonceBytes nonce = Start();
  for (uint32_t seq = 0; seq < 200; ++seq) {
    const auto out = Send(Frame("T1", nonce, seq, 1));
    ASSERT_EQ(out.size(), 1u);
    EXPECT_GE(out[0].due, now_ + 100ms);
    EXPECT_LE(out[0].due, now_ + 150ms);
  }
}

TEST_F(EndpointTest, TwoStateLossShowsItsTransitionChancesOverACycle) {
  // 15,000 frames (a 5-minute cycle): about 1,250 bursts, so 10 % is over 3 standard deviations
  // of either measured chance.
  constexpr uint32_t kFrames = 15000;
  Make("gilbert-p=0.1 gilbert-q=0.5 rng=5");
  const auto echoed = Run(Start(), 0, kFrames);
  std::vector<FrameTiming> frames(kFrames);
  for (uint32_t s : echoed) frames[s].arrivalNs = 0;  // received; timing plays no part here
  // Measured as the tool measures a cycle.
  const LossModel m = MeasureLoss(frames);
  EXPECT_NEAR(m.p, 0.1, 0.01);
  EXPECT_NEAR(m.q, 0.5, 0.05);
  EXPECT_TRUE(echoed.count(0));  // the chain starts in its echoing state

  Make("gilbert-p=0.1 gilbert-q=0.5 rng=5");
  EXPECT_EQ(Run(Start(), 0, kFrames), echoed);
}

TEST_F(EndpointTest, NormalJitterHasItsMeanAndDeviationAndNeverRunsAhead) {
  struct Spread {
    const char* settings;
    double meanMs;
    double sdMs;
  };
  // Without a delay, the half of the draws below 0 are held to the arrival itself.
  for (const Spread& c : {Spread{"delay=100 jitter-sd=5", 100, 5}, Spread{"jitter-sd=5", -1, -1}}) {
    SCOPED_TRACE(c.settings);
    Make(c.settings);
    const NonceBytes nonce = Start();
    double sum = 0, squares = 0;
    constexpr uint32_t kFrames = 15000;
    for (uint32_t seq = 0; seq < kFrames; ++seq) {
      const auto out = Send(Frame("T1", nonce, seq, 1));
      ASSERT_EQ(out.size(), 1u);
      ASSERT_GE(out[0].due, now_);
      const double ms = std::chrono::duration<double, std::milli>(out[0].due - now_).count();
      sum += ms;
      squares += ms * ms;
      now_ += 20ms;
    }
    if (c.meanMs < 0) continue;
    const double mean = sum / kFrames;
    const double sd = std::sqrt(squares / kFrames - mean * mean);
    EXPECT_NEAR(mean, c.meanMs, 0.2);  // 5 standard errors
    EXPECT_NEAR(sd, c.sdMs, 0.05 * c.sdMs);
  }
}

TEST_F(EndpointTest, NoncesAreFreshNonZeroAndOnlyTheLastTwoVerify) {
  Make("");
  const NonceBytes first = Start();
  const NonceBytes second = Start();
  const NonceBytes third = Start();
  EXPECT_NE(first, NonceBytes{});
  EXPECT_NE(first, second);
  EXPECT_NE(second, third);
  EXPECT_EQ(Run(third, 0, 1).size(), 1u);
  EXPECT_EQ(Run(second, 1, 1).size(), 1u);
  EXPECT_TRUE(Run(first, 2, 1).empty());
  EXPECT_EQ(endpoint_->Counters().badSignature, 1);
  EXPECT_EQ(endpoint_->Counters().noncesIssued, 3);
  // The zero nonce is never handed out, so a frame signed with it does not verify.
  EXPECT_TRUE(Run(NonceBytes{}, 3, 1).empty());
}

TEST_F(EndpointTest, AnEmptySerialSignsWithTheSharedKeyAlone) {
  Make("serial=");  // the later setting wins
  EXPECT_TRUE(Send(testing::ControlMessage("T1")).empty());
  EXPECT_EQ(Send(Frame("", Start(""), 1, 1)).size(), 1u);
  EXPECT_EQ(endpoint_->Counters().badSignature, 1);
}

TEST_F(EndpointTest, FramesBeforeAnyControlAnswerDoNotVerify) {
  Make("");
  EXPECT_TRUE(Run(NonceBytes{}, 1, 1).empty());
  EXPECT_EQ(endpoint_->Counters().badSignature, 1);
  EXPECT_EQ(endpoint_->Counters().framesReceived, 0);
}

}  // namespace
}  // namespace pathmon::sim
