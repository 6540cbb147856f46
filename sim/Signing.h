// SPDX-License-Identifier: Apache-2.0
#pragma once
// The phone's side of the datagram signing, written independently of the tool's looptest/
// code so that the simulated phone checks the tool rather than agreeing with it by
// construction.
//
//   key digest       = MD5(serial number text + shared key), no separators, no terminator
//   signature of N   = SHA-1(key digest (16 bytes) + N (8 bytes))
//   control message  = signature of the zero nonce + 180 zero bytes (200 bytes)

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace pathmon::sim {

inline constexpr std::size_t kDatagramBytes = 200;
inline constexpr std::size_t kSigBytes = 20;
inline constexpr std::size_t kNonceBytes = 8;
inline constexpr std::size_t kAtNonce = 20;
inline constexpr std::size_t kAtEndFlag = 28;
inline constexpr std::size_t kAtSequence = 32;
inline constexpr std::size_t kAtSendTick = 36;
inline constexpr std::size_t kAtArrivalTick = 40;

using Digest16 = std::array<uint8_t, 16>;
using Sig20 = std::array<uint8_t, kSigBytes>;
using Nonce8 = std::array<uint8_t, kNonceBytes>;
using Datagram = std::array<uint8_t, kDatagramBytes>;

Digest16 PhoneKeyDigest(std::string_view serial);
Sig20 PhoneSignature(const Digest16& keyDigest, const Nonce8& nonce);

uint32_t GetLe32(const uint8_t* p);
void PutLe32(uint8_t* p, uint32_t value);

}  // namespace pathmon::sim
