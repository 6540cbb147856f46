// SPDX-License-Identifier: Apache-2.0
// The simulated phone's UDP test endpoint, run as the real program. Each test has its own
// addresses 127.10.<test>.x: the phone on .1, the test's own tool socket on .100.

#include <arpa/inet.h>
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <set>
#include <thread>

#include "ToolSide.h"
#include "support/ChildProcess.h"

namespace pathmon::sim::testing {
namespace {

using pathmon::testing::RunProgram;

TEST(SimEndpoint, AnswersControlAndEchoesVerifiedFrames) {
  SimProcess sim({"--phone", "127.10.1.1 serial=SN12345"});
  ASSERT_TRUE(sim.Ok());
  UdpPeer tool("127.10.1.100");

  tool.SendTo("127.10.1.1", 7, ControlMessage("SN12345"));
  const auto answer = tool.Receive(2000);
  ASSERT_TRUE(answer);
  ASSERT_EQ(answer->bytes.size(), 200u);
  EXPECT_EQ(ntohs(answer->from.sin_port), 7);
  EXPECT_EQ(answer->from.sin_addr.s_addr, inet_addr("127.10.1.1"));
  const NonceBytes nonce = NonceOf(answer->bytes);
  EXPECT_NE(nonce, NonceBytes{});
  EXPECT_EQ(Le32(answer->bytes, 28), 0u);  // end flag
  EXPECT_EQ(Le32(answer->bytes, 36), 0u);  // send tick 0: not a frame echo

  const Bytes frame = Frame("SN12345", nonce, 42, 0xDEADBEEF);
  tool.SendTo("127.10.1.1", 7, frame);
  const auto echo = tool.Receive(2000);
  ASSERT_TRUE(echo);
  EXPECT_EQ(echo->bytes, frame);  // byte for byte: sequence, send tick, nonce, end flag 0

  auto counters = sim.Stop();
  ASSERT_EQ(counters.count("127.10.1.1"), 1u);
  const auto& c = counters["127.10.1.1"];
  EXPECT_EQ(c.serial, "SN12345");
  EXPECT_EQ(c.controlMessages, 1);
  EXPECT_EQ(c.framesReceived, 1);
  EXPECT_EQ(c.framesEchoed, 1);
  EXPECT_EQ(c.badSignature, 0);
  EXPECT_EQ(c.framesDropped, 0);
  EXPECT_EQ(c.noncesIssued, 1);
}

// Each datagram's class is counted, and the phone answers and echoes in it.
TEST(SimEndpoint, RepliesComeInTheClassOfTheirRequestAndClassesAreCounted) {
  SimProcess sim({"--phone", "127.10.47.1 serial=SNTOS"});
  ASSERT_TRUE(sim.Ok());
  UdpPeer tool("127.10.47.100");
  NonceBytes nonce{};
  for (int dscp : {46, 46, 0, 34}) {  // the control message, then three frames
    const int tos = dscp << 2;
    ASSERT_EQ(setsockopt(tool.Fd(), IPPROTO_IP, IP_TOS, &tos, sizeof tos), 0);
    tool.SendTo("127.10.47.1", 7, nonce == NonceBytes{} ? ControlMessage("SNTOS")
                                                         : Frame("SNTOS", nonce, 1, 1));
    const auto reply = tool.Receive(2000);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->tos, tos);
    nonce = NonceOf(reply->bytes);
  }
  auto counters = sim.Stop();
  EXPECT_EQ(counters["127.10.47.1"].controlByDscp, (std::map<int, long>{{46, 1}}));
  EXPECT_EQ(counters["127.10.47.1"].framesByDscp,
            (std::map<int, long>{{0, 1}, {34, 1}, {46, 1}}));
}

TEST(SimEndpoint, WronglySignedDatagramsAreCountedAndNotAnswered) {
  SimProcess sim({"--phone", "127.10.2.1 serial=SNGOOD"});
  ASSERT_TRUE(sim.Ok());
  UdpPeer tool("127.10.2.100");

  // A control message signed for another serial, then a frame before any nonce.
  tool.SendTo("127.10.2.1", 7, ControlMessage("SNOTHER"));
  EXPECT_FALSE(tool.Receive(300));
  const auto nonce = StartTest(tool, "127.10.2.1", "SNGOOD");
  ASSERT_TRUE(nonce);
  // Right nonce, wrong key; right key, a nonce never handed out; a flipped signature bit;
  // a short datagram; a control message with a non-zero byte after the signature.
  tool.SendTo("127.10.2.1", 7, Frame("SNOTHER", *nonce, 1, 1));
  tool.SendTo("127.10.2.1", 7, Frame("SNGOOD", NonceBytes{9, 9, 9, 9, 9, 9, 9, 9}, 2, 2));
  Bytes flipped = Frame("SNGOOD", *nonce, 3, 3);
  flipped[5] ^= 0x01;
  tool.SendTo("127.10.2.1", 7, flipped);
  Bytes shortFrame = Frame("SNGOOD", *nonce, 4, 4);
  shortFrame.resize(199);
  tool.SendTo("127.10.2.1", 7, shortFrame);
  Bytes dirtyControl = ControlMessage("SNGOOD");
  dirtyControl[150] = 1;
  tool.SendTo("127.10.2.1", 7, dirtyControl);
  EXPECT_TRUE(tool.Drain(400).empty());

  auto c = sim.Stop()["127.10.2.1"];
  EXPECT_EQ(c.badSignature, 6);
  EXPECT_EQ(c.controlMessages, 1);
  EXPECT_EQ(c.framesReceived, 0);
  EXPECT_EQ(c.framesEchoed, 0);
}

TEST(SimProcessControl, VerboseEventsAndACounterSnapshotOnSigusr1GoToStderr) {
  SimProcess sim({"--verbose", "--phone", "127.10.4.1 serial=V1"});
  ASSERT_TRUE(sim.Ok());
  UdpPeer tool("127.10.4.100");
  ASSERT_TRUE(StartTest(tool, "127.10.4.1", "V1"));
  tool.SendTo("127.10.4.1", 7, Bytes(200, 0x55));
  EXPECT_FALSE(tool.Receive(200));
  ASSERT_EQ(kill(sim.Pid(), SIGUSR1), 0);
  std::string err;
  for (int i = 0; i < 100 && err.find("\"phones\"") == std::string::npos; ++i) {
    std::this_thread::sleep_for(
        std::chrono::milliseconds(20));  // another process: no clock to fake
    err = sim.Stderr();
  }
  const std::string toolPort = std::to_string(tool.Port());
  EXPECT_NE(err.find("127.10.4.1: control message from 127.10.4.100:" + toolPort +
                     ": answered with a new nonce"),
            std::string::npos)
      << err;
  EXPECT_NE(
      err.find("127.10.4.1: 200 bytes from 127.10.4.100:" + toolPort + " with a bad signature"),
      std::string::npos)
      << err;
  std::map<std::string, pathmon::testing::SimPhoneCounters> snapshot;
  ASSERT_TRUE(pathmon::testing::ParseSimReport(err.substr(err.find('{')), snapshot)) << err;
  EXPECT_EQ(snapshot["127.10.4.1"].badSignature, 1);
  // Standard output still holds exactly one document, read by Stop.
  const auto c = sim.Stop()["127.10.4.1"];
  EXPECT_EQ(c.controlMessages, 1);
  EXPECT_EQ(c.badSignature, 1);
}

TEST(SimProcessControl, ABindingFailureIsReportedAndExitsOne) {
  SimProcess first({"--phone", "127.10.3.1"});
  ASSERT_TRUE(first.Ok());
  std::string message;
  EXPECT_EQ(RunProgram({PATHMON_SIM_EXE, "--phone", "127.10.3.1"}, "", 10000, nullptr, &message),
            1);
  EXPECT_NE(message.find("cannot bind UDP 127.10.3.1:7"), std::string::npos) << message;

  // Through SimProcess the same failure becomes a test failure carrying the sim's stderr.
  EXPECT_NONFATAL_FAILURE(
      {
        SimProcess second({"--phone", "127.10.3.1"});
        EXPECT_FALSE(second.Ok());
      },
      "cannot bind UDP 127.10.3.1:7");
  EXPECT_EQ(first.Stop().count("127.10.3.1"), 1u);
}

TEST(SimProcessControl, RejectsBadArgumentsBeforeBindingWithStatusTwo) {
  for (const std::vector<std::string>& arguments :
       std::vector<std::vector<std::string>>{{"--phone", "127.10.3.2 drop=9-3"},
                                             {"--no-such-option"},
                                             {"--quick", "70000"},
                                             {"--quick"}}) {
    std::vector<std::string> command = {PATHMON_SIM_EXE};
    command.insert(command.end(), arguments.begin(), arguments.end());
    EXPECT_EQ(RunProgram(command, "", 10000), 2) << arguments.front();
  }
}

}  // namespace
}  // namespace pathmon::sim::testing
