// SPDX-License-Identifier: Apache-2.0
#pragma once
// Small helpers for tests that talk UDP on loopback addresses.

#include <cstdint>
#include <string>
#include <vector>

namespace pathmon::testing {

// Dotted text to a network-byte-order IPv4 address.
uint32_t Ip(const char* dotted);

// A UDP socket bound to address:port (port 0: any), closed on destruction.
class UdpPeer {
 public:
  UdpPeer(const char* address, uint16_t port);
  ~UdpPeer();
  UdpPeer(const UdpPeer&) = delete;
  UdpPeer& operator=(const UdpPeer&) = delete;

  bool Ok() const { return fd_ >= 0; }
  uint16_t Port() const;
  // Sends to toAddress:toPort; true when the whole datagram left.
  bool SendTo(const char* toAddress, uint16_t toPort, const std::vector<uint8_t>& data);
  // Waits up to timeoutMs for a datagram; empty when none came.
  std::vector<uint8_t> Receive(int timeoutMs, uint16_t* fromPort = nullptr);

 private:
  int fd_ = -1;
};

}  // namespace pathmon::testing
