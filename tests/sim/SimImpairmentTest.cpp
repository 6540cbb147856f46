// SPDX-License-Identifier: Apache-2.0
// Impairments of the simulated phone's test endpoint, run as the real program. Addresses
// 127.10.<20+n>.x: the phone on .1, the test's tool socket on .100.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <set>
#include <thread>

#include "SimHelpers.h"
#include "support/SimProcess.h"

namespace pathmon::sim::testing {
namespace {

using Clock = std::chrono::steady_clock;
using pathmon::testing::SimProcess;

// Sends frames 0..count-1 back to back and returns the sequence numbers echoed.
std::set<uint32_t> EchoedOf(ToolSocket& tool, const std::string& phone, const std::string& serial,
                            const NonceBytes& nonce, uint32_t count) {
  // In batches, so that no socket buffer on the way overflows and loses frames itself.
  std::set<uint32_t> echoed;
  for (uint32_t seq = 0; seq < count; ++seq) {
    tool.SendTo(phone, 7, Frame(serial, nonce, seq, 1000 + seq));
    if (seq % 20 == 19 || seq + 1 == count) {
      const int quietMs = seq + 1 == count ? 300 : 40;
      for (const auto& r : tool.Drain(quietMs)) echoed.insert(Le32(r.bytes, 32));
    }
  }
  return echoed;
}

std::set<uint32_t> LossRun(const std::string& settings, const std::string& phoneAddress,
                           const std::string& toolAddress) {
  SimProcess sim({"--phone", phoneAddress + " serial=L1 " + settings});
  EXPECT_TRUE(sim.Ok());
  ToolSocket tool(toolAddress);
  const auto nonce = StartTest(tool, phoneAddress, "L1");
  EXPECT_TRUE(nonce);
  if (!nonce) return {};
  auto echoed = EchoedOf(tool, phoneAddress, "L1", *nonce, 400);
  const auto c = sim.Stop()[phoneAddress];
  EXPECT_EQ(c.framesReceived, 400);
  EXPECT_EQ(c.framesEchoed + c.framesDropped, 400);
  EXPECT_EQ(static_cast<std::size_t>(c.framesEchoed), echoed.size());
  return echoed;
}

TEST(SimImpairment, DropRangesAreExact) {
  SimProcess sim({"--phone", "127.10.21.1 serial=D1 drop=10-19,33,50-50"});
  ASSERT_TRUE(sim.Ok());
  ToolSocket tool("127.10.21.100");
  const auto nonce = StartTest(tool, "127.10.21.1", "D1");
  ASSERT_TRUE(nonce);
  const auto echoed = EchoedOf(tool, "127.10.21.1", "D1", *nonce, 60);
  std::set<uint32_t> expected;
  for (uint32_t s = 0; s < 60; ++s) {
    if (!(s >= 10 && s <= 19) && s != 33 && s != 50) expected.insert(s);
  }
  EXPECT_EQ(echoed, expected);
  const auto c = sim.Stop()["127.10.21.1"];
  EXPECT_EQ(c.framesDropped, 12);
  EXPECT_EQ(c.framesEchoed, 48);
}

TEST(SimImpairment, RandomLossIsReproducibleForAGeneratorState) {
  const auto a = LossRun("loss=0.25 rng=7", "127.10.22.1", "127.10.22.100");
  const auto b = LossRun("loss=0.25 rng=7", "127.10.22.2", "127.10.22.101");
  const auto other = LossRun("loss=0.25 rng=8", "127.10.22.3", "127.10.22.102");
  EXPECT_EQ(a, b);
  EXPECT_NE(a, other);
  // 100 expected losses of 400; 5 standard deviations either side.
  EXPECT_GT(a.size(), 400u - 100u - 45u);
  EXPECT_LT(a.size(), 400u - 100u + 45u);
}

TEST(SimImpairment, DelayHoldsEveryEchoBack) {
  SimProcess sim({"--phone", "127.10.23.1 serial=W1 delay=150"});
  ASSERT_TRUE(sim.Ok());
  ToolSocket tool("127.10.23.100");
  const auto nonce = StartTest(tool, "127.10.23.1", "W1");
  ASSERT_TRUE(nonce);
  for (uint32_t seq = 0; seq < 3; ++seq) {
    const auto sent = Clock::now();
    tool.SendTo("127.10.23.1", 7, Frame("W1", *nonce, seq, 7));
    const auto echo = tool.Receive(2000);
    ASSERT_TRUE(echo);
    const auto rtt =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - sent).count();
    EXPECT_EQ(Le32(echo->bytes, 32), seq);
    EXPECT_GE(rtt, 150);
    EXPECT_LT(rtt, 150 + 250);  // generous: a loaded machine may run the sim late
  }
}

TEST(SimImpairment, JitterSpreadsAndReordersEchoes) {
  SimProcess sim({"--phone", "127.10.24.1 serial=J1 delay=20 jitter=200 rng=3"});
  ASSERT_TRUE(sim.Ok());
  ToolSocket tool("127.10.24.100");
  const auto nonce = StartTest(tool, "127.10.24.1", "J1");
  ASSERT_TRUE(nonce);
  const auto start = Clock::now();
  for (uint32_t seq = 0; seq < 40; ++seq) {
    tool.SendTo("127.10.24.1", 7, Frame("J1", *nonce, seq, 1));
  }
  std::vector<uint32_t> order;
  auto firstEcho = Clock::duration::max(), lastEcho = Clock::duration::zero();
  while (auto r = tool.Receive(500)) {
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
  SimProcess sim({"--phone", "127.10.29.1 serial=O1 outage=5 every=1"});
  ASSERT_TRUE(sim.Ok());
  ToolSocket tool("127.10.29.100");
  const auto nonce = StartTest(tool, "127.10.29.1", "O1");
  ASSERT_TRUE(nonce);
  // 1.5 s of frames at 20 ms: one outage, one second after the first frame.
  std::set<uint32_t> echoed;
  auto next = Clock::now();
  for (uint32_t seq = 0; seq < 75; ++seq) {
    tool.SendTo("127.10.29.1", 7, Frame("O1", *nonce, seq, 1));
    next += std::chrono::milliseconds(20);
    while (
        const auto r = tool.Receive(static_cast<int>(std::max<long long>(
            0,
            std::chrono::duration_cast<std::chrono::milliseconds>(next - Clock::now()).count())))) {
      echoed.insert(Le32(r->bytes, 32));
    }
  }
  for (const auto& r : tool.Drain(300)) echoed.insert(Le32(r.bytes, 32));
  std::vector<uint32_t> lost;
  for (uint32_t seq = 0; seq < 75; ++seq) {
    if (!echoed.count(seq)) lost.push_back(seq);
  }
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
  ToolSocket tool[2] = {ToolSocket("127.10.30.100"), ToolSocket("127.10.30.101")};
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
    for (uint32_t seq = 0; seq < 60 - 10 * i; ++seq) {
      if (!echoed.count(seq)) lost[i].push_back(seq);
    }
    ASSERT_NEAR(lost[i].size(), 20, 2);  // 0.4 s, in one burst
    EXPECT_EQ(lost[i].back() - lost[i].front() + 1, lost[i].size());
  }
  EXPECT_NEAR(lost[0].front(), 20, 3);
  EXPECT_NEAR(static_cast<int>(lost[0].front() - lost[1].front()), 10, 2);
}

TEST(SimImpairment, GoesOffHookSendsTheEndFlagAndStopsEchoing) {
  SimProcess sim({"--phone", "127.10.25.1 serial=H1 offhook-after=0.3"});
  ASSERT_TRUE(sim.Ok());
  ToolSocket tool("127.10.25.100");
  const auto nonce = StartTest(tool, "127.10.25.1", "H1");
  ASSERT_TRUE(nonce);
  std::optional<Received> endFlag;
  int echoesAfterEnd = 0, echoesBefore = 0;
  const auto start = Clock::now();
  for (uint32_t seq = 0; seq < 40; ++seq) {  // 40 frames, 20 ms apart: 0.8 s
    tool.SendTo("127.10.25.1", 7, Frame("H1", *nonce, seq, 5));
    const auto until = Clock::now() + std::chrono::milliseconds(20);
    while (auto r = tool.Receive(static_cast<int>(std::max<long long>(
               0, std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now())
                      .count())))) {
      if (Le32(r->bytes, 28) != 0) {
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
    }
  }
  ASSERT_TRUE(endFlag);
  EXPECT_EQ(ntohs(endFlag->from.sin_port), 7);
  EXPECT_EQ(echoesAfterEnd, 0);
  EXPECT_GT(echoesBefore, 5);

  // Off hook, the phone refuses a new test: no answer to the control message.
  tool.SendTo("127.10.25.1", 7, ControlMessage("H1"));
  EXPECT_FALSE(tool.Receive(500));
  const auto c = sim.Stop()["127.10.25.1"];
  EXPECT_EQ(c.controlMessages, 2);
  EXPECT_EQ(c.framesReceived, 40);
  EXPECT_EQ(c.framesEchoed, echoesBefore);
  EXPECT_EQ(c.framesDropped, 40 - echoesBefore);
}

TEST(SimImpairment, GoesOffHookOnItsOwnTimerAndComesBack) {
  SimProcess sim({"--phone", "127.10.28.1 serial=H2 offhook-after=0.2 offhook-for=0.5"});
  ASSERT_TRUE(sim.Ok());
  ToolSocket tool("127.10.28.100");
  const auto nonce = StartTest(tool, "127.10.28.1", "H2");
  ASSERT_TRUE(nonce);
  const auto start = Clock::now();
  tool.SendTo("127.10.28.1", 7, Frame("H2", *nonce, 0, 1));
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
  ToolSocket tool("127.10.26.100");
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
  SimProcess sim({"--phone", "127.10.27.1 serial=N1 rotate=3"});
  ASSERT_TRUE(sim.Ok());
  ToolSocket tool("127.10.27.100");
  const auto first = StartTest(tool, "127.10.27.1", "N1");
  ASSERT_TRUE(first);
  NonceBytes carried{};
  for (uint32_t seq = 0; seq < 3; ++seq) {
    tool.SendTo("127.10.27.1", 7, Frame("N1", *first, seq, 1));
    const auto echo = tool.Receive(1000);
    ASSERT_TRUE(echo);
    carried = NonceOf(echo->bytes);
  }
  // The third frame's echo hands out the next nonce.
  const NonceBytes second = carried;
  EXPECT_NE(second, *first);
  EXPECT_NE(second, NonceBytes{});
  // In flight with the old nonce: still verified; with the new one: verified too.
  tool.SendTo("127.10.27.1", 7, Frame("N1", *first, 3, 1));
  ASSERT_TRUE(tool.Receive(1000));
  tool.SendTo("127.10.27.1", 7, Frame("N1", second, 4, 1));
  ASSERT_TRUE(tool.Receive(1000));
  // A sixth frame brings a third nonce; the first is now two behind and fails.
  tool.SendTo("127.10.27.1", 7, Frame("N1", second, 5, 1));
  const auto echo = tool.Receive(1000);
  ASSERT_TRUE(echo);
  const NonceBytes third = NonceOf(echo->bytes);
  EXPECT_NE(third, second);
  tool.SendTo("127.10.27.1", 7, Frame("N1", *first, 6, 1));
  EXPECT_FALSE(tool.Receive(300));
  tool.SendTo("127.10.27.1", 7, Frame("N1", second, 7, 1));
  EXPECT_TRUE(tool.Receive(1000));
  const auto c = sim.Stop()["127.10.27.1"];
  EXPECT_EQ(c.noncesIssued, 3);
  EXPECT_EQ(c.badSignature, 1);
  EXPECT_EQ(c.framesEchoed, 7);
}

}  // namespace
}  // namespace pathmon::sim::testing
