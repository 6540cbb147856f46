// SPDX-License-Identifier: Apache-2.0
#pragma once
// The tool's side of the loop-test exchange, written out by hand for the simulator's tests:
// datagrams signed with OpenSSL directly (not with the simulator's own signing code, which is
// what these tests check), sent from a UdpPeer on a test address.

#include <array>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "support/SimProcess.h"
#include "support/UdpPeer.h"

namespace pathmon::sim::testing {

using Bytes = pathmon::testing::Bytes;
using NonceBytes = std::array<uint8_t, 8>;
using pathmon::testing::Received;
using pathmon::testing::SimProcess;
using pathmon::testing::UdpPeer;

Bytes ControlMessage(const std::string& serial);
Bytes Frame(const std::string& serial, const NonceBytes& nonce, uint32_t sequence,
            uint32_t sendTick);

uint32_t Le32(const Bytes& b, std::size_t at);
NonceBytes NonceOf(const Bytes& datagram);
// The sequence numbers 0..count-1 that are not in echoed, in order.
std::vector<uint32_t> LostOf(const std::set<uint32_t>& echoed, uint32_t count);

// Control exchange with the phone at `phone` port 7: the nonce its answer hands out.
std::optional<NonceBytes> StartTest(UdpPeer& tool, const std::string& phone,
                                    const std::string& serial, int timeoutMs = 1000);

// One simulated phone at <net>.1 with the given serial and settings, the tool at <net>.100,
// and a test started: Ok() when the phone runs and handed out its nonce.
struct StartedPhone {
  StartedPhone(const std::string& net, std::string serialNumber, const std::string& settings);
  bool Ok() const { return sim.Ok() && tool.Ok() && nonce.has_value(); }
  // Frame seq, signed with the test's nonce, to the phone's port 7.
  void Send(uint32_t seq, uint32_t sendTick) {
    tool.SendTo(address, 7, Frame(serial, *nonce, seq, sendTick));
  }

  const std::string address, serial;
  SimProcess sim;
  UdpPeer tool;
  std::optional<NonceBytes> nonce;
};

}  // namespace pathmon::sim::testing
