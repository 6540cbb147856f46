// SPDX-License-Identifier: Apache-2.0
#pragma once
// The other end of a UDP exchange on a loopback address, for tests: a phone's port 7 or 161
// that the test serves by hand, or the tool's side talking to a simulated phone.
//
// Contract: one thread drives an instance.

#include <netinet/in.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace pathmon::testing {

using Bytes = std::vector<uint8_t>;

// Dotted text to a network-byte-order IPv4 address.
uint32_t Ip(const char* dotted);

struct Received {
  Bytes bytes;
  sockaddr_in from{};
  uint8_t tos = 0;  // the type-of-service byte it came with
  uint16_t FromPort() const { return ntohs(from.sin_port); }
};

class UdpPeer {
 public:
  // Bound to address:port (port 0: any free port); a failure to bind is a gtest failure,
  // and Ok() is false then.
  explicit UdpPeer(const std::string& address, uint16_t port = 0);
  ~UdpPeer();
  UdpPeer(const UdpPeer&) = delete;
  UdpPeer& operator=(const UdpPeer&) = delete;
  UdpPeer(UdpPeer&& other) noexcept;

  bool Ok() const { return fd_ >= 0; }
  int Fd() const { return fd_; }
  uint16_t Port() const;
  // True when the whole datagram left; anything else is a gtest failure too.
  bool SendTo(const std::string& address, uint16_t port, const Bytes& data);
  bool SendTo(const sockaddr_in& to, const Bytes& data);
  // Waits up to timeoutMs for one datagram.
  std::optional<Received> Receive(int timeoutMs);
  // Collects datagrams until none arrives for quietMs.
  std::vector<Received> Drain(int quietMs);

 private:
  int fd_ = -1;
};

}  // namespace pathmon::testing
