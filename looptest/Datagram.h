// SPDX-License-Identifier: Apache-2.0
#pragma once
// The loop-test datagram: layout, signing and reading. Every datagram the tool sends is
// 200 bytes and begins with a 20-byte signature; integers are 32-bit little-endian.
//
//   offset  size  field
//        0    20  signature (control signature, or frame signature over the stored nonce)
//       20     8  nonce (zero in a control message; the phone's, in frames and replies)
//       28     4  end flag (non-zero from the phone: the phone ends the test)
//       32     4  sequence number within the 5-minute cycle
//       36     4  send tick (0 marks a reply that is not a frame echo)
//       40     4  arrival tick (written by the tool on arrival)
//       44   156  zero padding

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace pathmon {

inline constexpr std::size_t kDatagramSize = 200;
inline constexpr std::size_t kPhoneRecordSize = 44;  // what the tool reads of a reply
inline constexpr std::size_t kSignatureSize = 20;
inline constexpr std::size_t kNonceSize = 8;
inline constexpr std::size_t kKeyDigestSize = 16;
inline constexpr std::size_t kKeyMaterialSize = 512;

inline constexpr std::size_t kOffsetSignature = 0;
inline constexpr std::size_t kOffsetNonce = 20;
inline constexpr std::size_t kOffsetEndFlag = 28;
inline constexpr std::size_t kOffsetSequence = 32;
inline constexpr std::size_t kOffsetSendTick = 36;
inline constexpr std::size_t kOffsetArrivalTick = 40;

// The key shared by the tool and every phone.
inline constexpr std::string_view kSharedKey = "Kq7#Lm2!Zt9%Wx4&";

using KeyDigest = std::array<uint8_t, kKeyDigestSize>;
using Signature = std::array<uint8_t, kSignatureSize>;
using Nonce = std::array<uint8_t, kNonceSize>;

// MD5 over prefix + serialNumber + shared key (no separators, no terminator). The key
// material is built in a 512-byte buffer; what does not fit is left out.
KeyDigest DeriveKeyDigest(const char* prefix, const char* serialNumber);

// SHA-1 over the key digest followed by the 8 nonce bytes.
Signature ComputeSignature(const KeyDigest& digest, const Nonce& nonce);

// Fill a 200-byte buffer.
void BuildControlMessage(const Signature& controlSignature, uint8_t* out);
void BuildTestFrame(const Signature& frameSignature, const Nonce& nonce, uint32_t sequence,
                    uint32_t sendTick, uint8_t* out);

// What the tool reads of a phone's datagram; bytes a short datagram lacks read as zero.
struct PhoneDatagram {
  Nonce nonce{};
  uint32_t endFlag = 0;
  uint32_t sequence = 0;
  uint32_t sendTick = 0;
  uint32_t arrivalTick = 0;
};
PhoneDatagram ReadPhoneDatagram(const uint8_t* bytes, std::size_t length);

uint32_t ReadLe32(const uint8_t* p);
void WriteLe32(uint8_t* p, uint32_t value);

}  // namespace pathmon
