// SPDX-License-Identifier: Apache-2.0
#pragma once
// The test socket: the tool's one UDP endpoint for loop tests. Datagrams go to UDP port 7
// of a phone; replies are handed, by the sender's IPv4 address alone, to a DatagramSink.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <thread>

namespace pathmon {

struct ReceiverExit;
struct ReceiveBatch;

inline constexpr int kReceiveBufferSize = 1024;
inline constexpr uint16_t kPhoneTestPort = 7;

// Receives every datagram of 1..1024 bytes with its sender's address (network byte order)
// and how long before the call it arrived. Called on the receive thread.
class DatagramSink {
 public:
  virtual ~DatagramSink() = default;
  virtual void Dispatch(uint32_t senderAddress, const uint8_t* bytes, int length,
                        std::chrono::nanoseconds age) = 0;
};

// Contract: one object owns the socket and its receive thread. Start and Stop are called
// from one thread; Send from any thread at any time. Stop sets the flag, lets the current
// one-second wait run out and joins the thread.
//
// The receive thread pauses a millisecond between reads, so that under load one wake-up
// takes the datagrams of a millisecond rather than one each. The kernel stamps each
// datagram's arrival, and the sink is told its age, so the pause adds nothing to a round
// trip.
class TestSocket {
 public:
  explicit TestSocket(DatagramSink& sink);
  ~TestSocket();

  int Start();  // 0 when the socket and the receive thread run, -1 otherwise
  // Waits up to 5 s for the receive thread, then closes the socket. A thread that does not
  // end in time is left running with the socket open; the sink must outlive it.
  void Stop();
  // 0 when the whole datagram went to UDP port 7 of peerAddress, -4 otherwise.
  int Send(const uint8_t* data, int length, uint32_t peerAddress);
  // The local port the system gave the socket at its first send; 0 before.
  uint16_t LocalPort() const;
  // The class every datagram sent afterwards is marked with (IP_TOS = dscp << 2, the ECN
  // bits left 0; 0 unmarked): kept for Start, and set at once on a running socket. Called
  // from the thread that starts the socket; false when the system refuses it.
  bool SetDscp(int32_t dscp);

 private:
  void ReceiveTask();
  // Waits up to a second for a datagram, reads it and up to a batch of those queued behind
  // it, and hands each to the sink; returns how many were read (-1 when none came).
  int DispatchDatagrams(ReceiveBatch& batch);
  // How long ago the datagram in slot i arrived, by the kernel's stamp; 0 without one.
  std::chrono::nanoseconds Age(const ReceiveBatch& batch, int i) const;

  DatagramSink& sink_;
  std::atomic<int> socket_{-1};
  int tos_ = 0;  // the IP header's type-of-service byte
  std::atomic<bool> stop_{false};
  std::thread receiver_;
  std::shared_ptr<ReceiverExit> exit_;  // shared with the thread, which may outlive a Stop
};

}  // namespace pathmon
