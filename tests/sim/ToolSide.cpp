// SPDX-License-Identifier: Apache-2.0
#include "ToolSide.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cstring>

namespace pathmon::sim::testing {

// SHA-1 over the MD5 of the serial number and the shared key, followed by the nonce.
static std::array<uint8_t, 20> SignatureFor(const std::string& serial, const NonceBytes& nonce) {
  const std::string material = serial + "Kq7#Lm2!Zt9%Wx4&";
  uint8_t input[24];
  unsigned length = 0;
  EXPECT_EQ(EVP_Digest(material.data(), material.size(), input, &length, EVP_md5(), nullptr), 1);
  std::memcpy(input + 16, nonce.data(), 8);
  std::array<uint8_t, 20> sig{};
  EXPECT_EQ(EVP_Digest(input, sizeof input, sig.data(), &length, EVP_sha1(), nullptr), 1);
  return sig;
}

static void PutLe(Bytes& b, std::size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i)
    b[at + static_cast<std::size_t>(i)] = static_cast<uint8_t>(v >> (8 * i));
}

Bytes Frame(const std::string& serial, const NonceBytes& nonce, uint32_t sequence,
            uint32_t sendTick) {
  Bytes out(200, 0);
  const auto sig = SignatureFor(serial, nonce);
  std::copy(sig.begin(), sig.end(), out.begin());
  std::copy(nonce.begin(), nonce.end(), out.begin() + 20);
  PutLe(out, 32, sequence);
  PutLe(out, 36, sendTick);
  return out;
}

// A control message is a frame of zeros signed with the zero nonce.
Bytes ControlMessage(const std::string& serial) { return Frame(serial, NonceBytes{}, 0, 0); }

uint32_t Le32(const Bytes& b, std::size_t at) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = v << 8 | b.at(at + static_cast<std::size_t>(i));
  return v;
}

NonceBytes NonceOf(const Bytes& datagram) {
  NonceBytes n{};
  std::copy(datagram.begin() + 20, datagram.begin() + 28, n.begin());
  return n;
}

std::vector<uint32_t> LostOf(const std::set<uint32_t>& echoed, uint32_t count) {
  std::vector<uint32_t> lost;
  for (uint32_t seq = 0; seq < count; ++seq) {
    if (!echoed.count(seq)) lost.push_back(seq);
  }
  return lost;
}

std::optional<NonceBytes> StartTest(UdpPeer& tool, const std::string& phone,
                                    const std::string& serial, int timeoutMs) {
  tool.SendTo(phone, 7, ControlMessage(serial));
  const auto answer = tool.Receive(timeoutMs);
  if (!answer || answer->bytes.size() < 28) return std::nullopt;
  return NonceOf(answer->bytes);
}

StartedPhone::StartedPhone(const std::string& net, std::string serialNumber,
                           const std::string& settings)
    : address(net + ".1"),
      serial(std::move(serialNumber)),
      sim({"--phone", address + " serial=" + serial + " " + settings}),
      tool(net + ".100") {
  if (sim.Ok()) nonce = StartTest(tool, address, serial);
}

}  // namespace pathmon::sim::testing
