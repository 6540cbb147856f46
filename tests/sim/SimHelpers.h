// SPDX-License-Identifier: Apache-2.0
#pragma once
// The tool's side of the loop-test exchange, written out by hand for the simulator's tests:
// a UDP socket on a test address and datagrams signed with OpenSSL directly (not with the
// simulator's own signing code, which is what these tests check).

#include <netinet/in.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace pathmon::sim::testing {

using Bytes = std::vector<uint8_t>;
using NonceBytes = std::array<uint8_t, 8>;

std::array<uint8_t, 16> KeyDigestFor(const std::string& serial);
std::array<uint8_t, 20> SignatureFor(const std::string& serial, const NonceBytes& nonce);
Bytes ControlMessage(const std::string& serial);
Bytes Frame(const std::string& serial, const NonceBytes& nonce, uint32_t sequence,
            uint32_t sendTick);

uint32_t Le32(const Bytes& b, std::size_t at);
NonceBytes NonceOf(const Bytes& datagram);

struct Received {
  Bytes bytes;
  sockaddr_in from{};
  uint8_t tos = 0;  // the type-of-service byte it came with
};

class ToolSocket {
 public:
  // Binds an ephemeral UDP port of `localAddress`.
  explicit ToolSocket(const std::string& localAddress);
  ~ToolSocket();
  ToolSocket(const ToolSocket&) = delete;
  ToolSocket& operator=(const ToolSocket&) = delete;

  void SendTo(const std::string& address, uint16_t port, const Bytes& bytes);
  // Waits up to `timeoutMs` for one datagram.
  std::optional<Received> Receive(int timeoutMs);
  // Collects datagrams until none arrives for `quietMs`.
  std::vector<Received> Drain(int quietMs);
  uint16_t Port() const;
  int Fd() const { return fd_; }

 private:
  int fd_ = -1;
};

// Control exchange with the phone at `phone` port 7: the nonce its answer hands out.
std::optional<NonceBytes> StartTest(ToolSocket& tool, const std::string& phone,
                                    const std::string& serial, int timeoutMs = 1000);

}  // namespace pathmon::sim::testing
