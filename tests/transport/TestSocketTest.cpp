// SPDX-License-Identifier: Apache-2.0
// The test socket over real UDP on loopback: what reaches the sink, and what goes out.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/UdpPeer.h"
#include "support/TraceRecorder.h"
#include "transport/PATHMONSocket.h"

namespace pathmon {
namespace {

using testing::Ip;
using testing::TraceRecorder;
using testing::UdpPeer;

struct Delivery {
  uint32_t sender;
  std::vector<uint8_t> bytes;  // the whole 1024-byte buffer
  int length;
  std::chrono::steady_clock::time_point arrival;  // when dispatched, less the age
};

class RecordingSink final : public DatagramSink {
 public:
  void Dispatch(uint32_t senderAddress, const uint8_t* bytes, int length,
                std::chrono::nanoseconds age) override {
    const auto arrival = std::chrono::steady_clock::now() - age;
    bool first;
    {
      std::lock_guard lock(mutex_);
      got_.push_back({senderAddress, std::vector<uint8_t>(bytes, bytes + kReceiveBufferSize),
                      length, arrival});
      first = got_.size() == 1;
      arrived_.notify_all();
    }
    if (first) std::this_thread::sleep_for(holdFirst);
  }
  // The receive thread is held this long in the first delivery.
  std::chrono::milliseconds holdFirst{0};
  // Waits until n deliveries arrived or the time ran out; returns what arrived.
  std::vector<Delivery> WaitFor(std::size_t n, int ms) {
    std::unique_lock lock(mutex_);
    arrived_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return got_.size() >= n; });
    return got_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::vector<Delivery> got_;
};

// A send that fails returns -4: without a socket quietly, and a failure of sendto traced with
// its result. Stop after no start waits for nothing.
TEST(TestSocket, AFailedSendReturnsMinusFourAndASendtoFailureIsTraced) {
  TraceRecorder trace;
  RecordingSink sink;
  TestSocket idle(sink);
  uint8_t data[200] = {};
  EXPECT_EQ(idle.Send(data, 200, Ip("127.50.0.1")), -4);
  idle.Stop();
  EXPECT_TRUE(trace.Lines().empty());

  TestSocket socket(sink);
  ASSERT_EQ(socket.Start(), 0);
  std::vector<uint8_t> huge(70000, 0);  // larger than any UDP datagram
  EXPECT_EQ(socket.Send(huge.data(), static_cast<int>(huge.size()), Ip("127.50.0.3")), -4);
  EXPECT_EQ(trace.Lines(), std::vector<std::string>{"sendto failed -1\r\n"});
  socket.Stop();
}

TEST(TestSocket, DatagramsGoToPortSevenAndRepliesAreDeliveredBySenderAddress) {
  UdpPeer phone("127.50.0.1", 7);
  UdpPeer otherPort("127.50.0.1", 0);
  UdpPeer stranger("127.50.0.2", 0);
  ASSERT_TRUE(phone.Ok() && otherPort.Ok() && stranger.Ok());

  RecordingSink sink;
  TestSocket socket(sink);
  ASSERT_EQ(socket.Start(), 0);
  EXPECT_EQ(socket.LocalPort(), 0);  // no local port before the first send

  std::vector<uint8_t> frame(200, 0x11);
  ASSERT_EQ(socket.Send(frame.data(), 200, Ip("127.50.0.1")), 0);
  uint16_t toolPort = socket.LocalPort();
  ASSERT_NE(toolPort, 0);
  EXPECT_EQ(phone.Receive(2000).value_or(testing::Received{}).bytes, frame);

  // Sizes: 0 and 1025 bytes are dropped, 1 and 1024 delivered; any source port will do.
  // Each delivered before the next is sent, so the short one reuses the long one's buffer.
  ASSERT_TRUE(phone.SendTo("127.0.0.1", toolPort, std::vector<uint8_t>(1024, 0x66)));
  ASSERT_EQ(sink.WaitFor(1, 3000).size(), 1u);
  ASSERT_TRUE(otherPort.SendTo("127.0.0.1", toolPort, std::vector<uint8_t>(3, 0x77)));
  ASSERT_EQ(sink.WaitFor(2, 3000).size(), 2u);
  ASSERT_TRUE(phone.SendTo("127.0.0.1", toolPort, {}));
  ASSERT_TRUE(phone.SendTo("127.0.0.1", toolPort, std::vector<uint8_t>(1025, 0x55)));
  ASSERT_TRUE(stranger.SendTo("127.0.0.1", toolPort, std::vector<uint8_t>(1, 0x88)));

  auto got = sink.WaitFor(3, 3000);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // nothing more is coming
  got = sink.WaitFor(4, 0);
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0].sender, Ip("127.50.0.1"));
  EXPECT_EQ(got[0].length, 1024);
  EXPECT_EQ(got[0].bytes, std::vector<uint8_t>(1024, 0x66));
  EXPECT_EQ(got[1].sender, Ip("127.50.0.1"));
  EXPECT_EQ(got[1].length, 3);
  // A short datagram arrives in a buffer whose other bytes are zero.
  std::vector<uint8_t> expected(1024, 0);
  std::fill_n(expected.begin(), 3, 0x77);
  EXPECT_EQ(got[1].bytes, expected);
  EXPECT_EQ(got[2].sender, Ip("127.50.0.2"));

  auto start = std::chrono::steady_clock::now();
  socket.Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));
  EXPECT_EQ(socket.Send(frame.data(), 200, Ip("127.50.0.1")), -4);
}

TEST(TestSocket, ADatagramReadLateKeepsTheInstantItArrived) {
  // The receive thread is busy for 200 ms with the first datagram when the second arrives:
  // the sink is told the second's age, so its arrival is when it came, not when it was read.
  UdpPeer phone("127.50.0.4", 7);
  ASSERT_TRUE(phone.Ok());
  RecordingSink sink;
  sink.holdFirst = std::chrono::milliseconds(200);
  TestSocket socket(sink);
  ASSERT_EQ(socket.Start(), 0);
  std::vector<uint8_t> frame(200, 0x11);
  ASSERT_EQ(socket.Send(frame.data(), 200, Ip("127.50.0.4")), 0);
  ASSERT_TRUE(phone.SendTo("127.0.0.1", socket.LocalPort(), frame));
  ASSERT_EQ(sink.WaitFor(1, 3000).size(), 1u);
  const auto sent = std::chrono::steady_clock::now();
  ASSERT_TRUE(phone.SendTo("127.0.0.1", socket.LocalPort(), frame));
  auto got = sink.WaitFor(2, 3000);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_GE(got[1].arrival - sent, std::chrono::milliseconds(-1));
  EXPECT_LT(got[1].arrival - sent, std::chrono::milliseconds(20));
  socket.Stop();
}

}  // namespace
}  // namespace pathmon
