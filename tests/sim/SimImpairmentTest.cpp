// SPDX-License-Identifier: Apache-2.0
// Impairments of the simulated phone's test endpoint, run as the real program. Addresses
// 127.10.<20+n>.x: the phone on .1, the test's tool socket on .100.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <set>
#include <thread>

#include "ToolSide.h"

namespace pathmon::sim::testing {
namespace {

using Clock = std::chrono::steady_clock;

// Sends frames 0..count-1 back to back and returns the sequence numbers echoed.
std::set<uint32_t> EchoedOf(StartedPhone& phone, uint32_t count) {
  // In batches, so that no socket buffer on the way overflows and loses frames itself.
  std::set<uint32_t> echoed;
  for (uint32_t seq = 0; seq < count; ++seq) {
    phone.Send(seq, 1000 + seq);
    if (seq % 20 == 19 || seq + 1 == count) {
      const int quietMs = seq + 1 == count ? 300 : 40;
      for (const auto& r : phone.tool.Drain(quietMs)) echoed.insert(Le32(r.bytes, 32));
    }
  }
  return echoed;
}

// Every datagram that comes within ms, each handed to take.
template <typename Take>
void ReceiveFor(UdpPeer& tool, std::chrono::milliseconds ms, Take take) {
  const auto until = Clock::now() + ms;
  while (auto r = tool.Receive(static_cast<int>(std::max<long long>(
             0, std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now())
                    .count())))) {
    take(*r);
  }
}

// The sequence numbers echoed of count frames, which the phone's counters agree with.
std::set<uint32_t> LossRun(const std::string& settings, const std::string& net,
                           uint32_t count = 400) {
  StartedPhone phone(net, "L1", settings);
  EXPECT_TRUE(phone.Ok());
  if (!phone.Ok()) return {};
  auto echoed = EchoedOf(phone, count);
  const auto c = phone.sim.Stop()[phone.address];
  EXPECT_EQ(c.framesReceived, count);
  EXPECT_EQ(c.framesEchoed + c.framesDropped, count);
  EXPECT_EQ(static_cast<std::size_t>(c.framesEchoed), echoed.size());
  return echoed;
}

TEST(SimImpairment, DropRangesAreExact) {
  const auto echoed = LossRun("drop=10-19,33,50-50", "127.10.21", 60);
  EXPECT_EQ(LostOf(echoed, 60),
            (std::vector<uint32_t>{10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 33, 50}));
  EXPECT_EQ(echoed.size(), 48u);  // and so 48 echoed and 12 dropped by the phone's count
}

TEST(SimImpairment, RandomLossIsReproducibleForAGeneratorState) {
  const auto a = LossRun("loss=0.25 rng=7", "127.10.22");
  const auto b = LossRun("loss=0.25 rng=7", "127.10.31");
  const auto other = LossRun("loss=0.25 rng=8", "127.10.32");
  EXPECT_EQ(a, b);
  EXPECT_NE(a, other);
  // 100 expected losses of 400; 5 standard deviations either side.
  EXPECT_GT(a.size(), 400u - 100u - 45u);
  EXPECT_LT(a.size(), 400u - 100u + 45u);
}

TEST(SimImpairment, DelayHoldsEveryEchoBack) {
  StartedPhone phone("127.10.23", "W1", "delay=150");
  ASSERT_TRUE(phone.Ok());
  for (uint32_t seq = 0; seq < 3; ++seq) {
    const auto sent = Clock::now();
    phone.Send(seq, 7);
    const auto echo = phone.tool.Receive(2000);
    ASSERT_TRUE(echo);
    const auto rtt =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - sent).count();
    EXPECT_EQ(Le32(echo->bytes, 32), seq);
    EXPECT_GE(rtt, 150);
    EXPECT_LT(rtt, 150 + 250);  // generous: a loaded machine may run the sim late
  }
}

TEST(SimImpairment, JitterSpreadsAndReordersEchoes) {
  StartedPhone phone("127.10.24", "J1", "delay=20 jitter=200 rng=3");
  ASSERT_TRUE(phone.Ok());
  const auto start = Clock::now();
  for (uint32_t seq = 0; seq < 40; ++seq) phone.Send(seq, 1);
  std::vector<uint32_t> order;
  auto firstEcho = Clock::duration::max(), lastEcho = Clock::duration::zero();
  while (auto r = phone.tool.Receive(500)) {
    order.push_back(Le32(r->bytes, 32));
    const auto at = Clock::now() - start;
    firstEcho = std::min(firstEcho, at);
    lastEcho = std::max(lastEcho, at);
  }
  ASSERT_EQ(order.size(), 40u);
  EXPECT_FALSE(std::is_sorted(order.begin(), order.end()));
  // Nothing comes back before the fixed delay; the last echo is due within delay + jitter
  // (plus room for a loaded machine).
  EXPECT_GE(firstEcho, std::chrono::milliseconds(20));
  EXPECT_LT(lastEcho, std::chrono::milliseconds(20 + 200 + 300));
}

TEST(SimImpairment, OutageLosesConsecutiveFramesOnSchedule) {
  StartedPhone phone("127.10.29", "O1", "outage=5 every=1");
  ASSERT_TRUE(phone.Ok());
  // 1.5 s of frames at 20 ms: one outage, one second after the first frame.
  std::set<uint32_t> echoed;
  const auto take = [&](const Received& r) { echoed.insert(Le32(r.bytes, 32)); };
  for (uint32_t seq = 0; seq < 75; ++seq) {
    phone.Send(seq, 1);
    ReceiveFor(phone.tool, std::chrono::milliseconds(20), take);
  }
  for (const auto& r : phone.tool.Drain(300)) take(r);
  const auto lost = LostOf(echoed, 75);
  ASSERT_EQ(lost.size(), 5u);
  EXPECT_EQ(lost.back() - lost.front(), 4u);  // one burst
  EXPECT_GE(lost.front(), 40u);               // about a second in (50 frames when on time)
  EXPECT_LE(lost.front(), 55u);
}

// Two phones of one process, the second's test starting 0.2 s (10 frames) after the first's:
// an outage by time hits both at once, so the second loses frames 10 lower in its sequence.
TEST(SimImpairment, OutageByTimeHitsEveryPhoneOfTheProcessAtOnce) {
  SimProcess sim({"--phone", "127.10.30.1 serial=T1 outage=0.4-0.8", "--phone",
                  "127.10.30.2 serial=T2 outage=0.4-0.8"});
  ASSERT_TRUE(sim.Ok());
  UdpPeer tool[2] = {UdpPeer("127.10.30.100"), UdpPeer("127.10.30.101")};
  const std::string phone[2] = {"127.10.30.1", "127.10.30.2"};
  const auto nonce =
      std::array{StartTest(tool[0], phone[0], "T1"), StartTest(tool[1], phone[1], "T2")};
  ASSERT_TRUE(nonce[0] && nonce[1]);
  const auto start = Clock::now();
  for (uint32_t k = 0; k < 60; ++k) {  // 1.2 s of frames to the first, 1.0 s to the second
    std::this_thread::sleep_until(start + k * std::chrono::milliseconds(20));
    tool[0].SendTo(phone[0], 7, Frame("T1", *nonce[0], k, 1));
    if (k >= 10) tool[1].SendTo(phone[1], 7, Frame("T2", *nonce[1], k - 10, 1));
  }
  std::vector<uint32_t> lost[2];
  for (uint32_t i = 0; i < 2; ++i) {
    std::set<uint32_t> echoed;
    for (const auto& r : tool[i].Drain(300)) echoed.insert(Le32(r.bytes, 32));
    lost[i] = LostOf(echoed, 60 - 10 * i);
    ASSERT_NEAR(lost[i].size(), 20, 2);  // 0.4 s, in one burst
    EXPECT_EQ(lost[i].back() - lost[i].front() + 1, lost[i].size());
  }
  EXPECT_NEAR(lost[0].front(), 20, 3);
  EXPECT_NEAR(static_cast<int>(lost[0].front() - lost[1].front()), 10, 2);
}

TEST(SimImpairment, GoesOffHookSendsTheEndFlagAndStopsEchoing) {
  StartedPhone phone("127.10.25", "H1", "offhook-after=0.3");
  ASSERT_TRUE(phone.Ok());
  std::optional<Received> endFlag;
  int echoesAfterEnd = 0, echoesBefore = 0;
  const auto start = Clock::now();
  for (uint32_t seq = 0; seq < 40; ++seq) {  // 40 frames, 20 ms apart: 0.8 s
    phone.Send(seq, 5);
    ReceiveFor(phone.tool, std::chrono::milliseconds(20), [&](const Received& r) {
      if (Le32(r.bytes, 28) != 0) {
        EXPECT_FALSE(endFlag) << "a second end flag";
        endFlag = r;
        const auto at = Clock::now() - start;
        EXPECT_GE(at, std::chrono::milliseconds(280));
        EXPECT_LT(at, std::chrono::milliseconds(1000));
      } else if (endFlag) {
        ++echoesAfterEnd;
      } else {
        ++echoesBefore;
      }
    });
  }
  ASSERT_TRUE(endFlag);
  EXPECT_EQ(endFlag->FromPort(), 7);
  EXPECT_EQ(echoesAfterEnd, 0);
  EXPECT_GT(echoesBefore, 5);

  // Off hook, the phone refuses a new test: no answer to the control message.
  phone.tool.SendTo("127.10.25.1", 7, ControlMessage("H1"));
  EXPECT_FALSE(phone.tool.Receive(500));
  const auto c = phone.sim.Stop()["127.10.25.1"];
  EXPECT_EQ(c.controlMessages, 2);
  EXPECT_EQ(c.framesReceived, 40);
  EXPECT_EQ(c.framesEchoed, echoesBefore);
  EXPECT_EQ(c.framesDropped, 40 - echoesBefore);
}

TEST(SimImpairment, GoesOffHookOnItsOwnTimerAndComesBack) {
  StartedPhone phone("127.10.28", "H2", "offhook-after=0.2 offhook-for=0.5");
  ASSERT_TRUE(phone.Ok());
  UdpPeer& tool = phone.tool;
  const auto start = Clock::now();
  phone.Send(0, 1);
  ASSERT_TRUE(tool.Receive(1000));  // the echo
  // No further frame: the end flag must come from the phone's own timer.
  const auto end = tool.Receive(2000);
  ASSERT_TRUE(end);
  EXPECT_NE(Le32(end->bytes, 28), 0u);
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(190));
  EXPECT_FALSE(StartTest(tool, "127.10.28.1", "H2", 100));  // refused while off hook
  // Back on hook 0.5 s after going off hook: tests are accepted again.
  std::optional<NonceBytes> again;
  for (int attempt = 0; attempt < 20 && !again; ++attempt)
    again = StartTest(tool, "127.10.28.1", "H2", 100);
  EXPECT_TRUE(again);
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(690));
}

TEST(SimImpairment, OffHookPhoneRefusesAndSilentPhoneAnswersNothing) {
  SimProcess sim(
      {"--phone", "127.10.26.1 serial=R1 offhook", "--phone", "127.10.26.2 serial=S1 silent"});
  ASSERT_TRUE(sim.Ok());
  UdpPeer tool("127.10.26.100");
  EXPECT_FALSE(StartTest(tool, "127.10.26.1", "R1", 500));
  EXPECT_FALSE(StartTest(tool, "127.10.26.2", "S1", 500));
  tool.SendTo("127.10.26.2", 7, Frame("S1", NonceBytes{1}, 0, 1));
  EXPECT_FALSE(tool.Receive(300));
  auto c = sim.Stop();
  EXPECT_EQ(c["127.10.26.1"].controlMessages, 1);
  EXPECT_EQ(c["127.10.26.1"].noncesIssued, 0);
  EXPECT_EQ(c["127.10.26.2"].controlMessages, 1);
  EXPECT_EQ(c["127.10.26.2"].noncesIssued, 0);
}

TEST(SimImpairment, RotatedNonceAcceptsTheNewAndThePreviousOne) {
  StartedPhone phone("127.10.27", "N1", "rotate=3");
  ASSERT_TRUE(phone.Ok());
  const auto echo = [&](const NonceBytes& nonce, uint32_t seq, int ms = 1000) {
    phone.tool.SendTo(phone.address, 7, Frame("N1", nonce, seq, 1));
    return phone.tool.Receive(ms);
  };
  const NonceBytes first = *phone.nonce;
  NonceBytes second{};
  for (uint32_t seq = 0; seq < 3; ++seq) {
    const auto e = echo(first, seq);
    ASSERT_TRUE(e);
    second = NonceOf(e->bytes);  // the third frame's echo hands out the next nonce
  }
  EXPECT_NE(second, first);
  EXPECT_NE(second, NonceBytes{});
  // In flight with the old nonce: still verified; with the new one: verified too.
  ASSERT_TRUE(echo(first, 3));
  ASSERT_TRUE(echo(second, 4));
  // A sixth frame brings a third nonce; the first is now two behind and fails.
  const auto sixth = echo(second, 5);
  ASSERT_TRUE(sixth);
  EXPECT_NE(NonceOf(sixth->bytes), second);
  EXPECT_FALSE(echo(first, 6, 300));
  EXPECT_TRUE(echo(second, 7));
  const auto c = phone.sim.Stop()["127.10.27.1"];
  EXPECT_EQ(c.noncesIssued, 3);
  EXPECT_EQ(c.badSignature, 1);
  EXPECT_EQ(c.framesEchoed, 7);
}

}  // namespace
}  // namespace pathmon::sim::testing
