// SPDX-License-Identifier: Apache-2.0
#include "looptest/Datagram.h"

#include <openssl/evp.h>

#include <cstring>

namespace pathmon {
namespace {

// One-shot digest of a whole buffer. EVP_Digest fails only on allocation failure; the
// output is then left zeroed, which no phone will verify.
template <std::size_t N>
std::array<uint8_t, N> Digest(const EVP_MD* md, const uint8_t* data, std::size_t length) {
  std::array<uint8_t, N> out{};
  unsigned int written = 0;
  uint8_t buffer[EVP_MAX_MD_SIZE];
  if (EVP_Digest(data, length, buffer, &written, md, nullptr) == 1 && written == N) {
    std::memcpy(out.data(), buffer, N);
  }
  return out;
}

// Appends text to the key material without overrunning it; the last byte stays zero.
void Append(uint8_t* material, std::size_t& used, std::string_view text) {
  std::size_t room = kKeyMaterialSize - 1 - used;
  std::size_t n = text.size() < room ? text.size() : room;
  std::memcpy(material + used, text.data(), n);
  used += n;
}

}  // namespace

uint32_t ReadLe32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

void WriteLe32(uint8_t* p, uint32_t value) {
  p[0] = static_cast<uint8_t>(value);
  p[1] = static_cast<uint8_t>(value >> 8);
  p[2] = static_cast<uint8_t>(value >> 16);
  p[3] = static_cast<uint8_t>(value >> 24);
}

KeyDigest DeriveKeyDigest(const char* prefix, const char* serialNumber) {
  uint8_t material[kKeyMaterialSize] = {};
  std::size_t used = 0;
  if (prefix != nullptr) Append(material, used, prefix);
  if (serialNumber != nullptr) Append(material, used, serialNumber);
  Append(material, used, kSharedKey);
  return Digest<kKeyDigestSize>(EVP_md5(), material, used);
}

Signature ComputeSignature(const KeyDigest& digest, const Nonce& nonce) {
  uint8_t input[kKeyDigestSize + kNonceSize];
  std::memcpy(input, digest.data(), kKeyDigestSize);
  std::memcpy(input + kKeyDigestSize, nonce.data(), kNonceSize);
  return Digest<kSignatureSize>(EVP_sha1(), input, sizeof input);
}

void BuildControlMessage(const Signature& controlSignature, uint8_t* out) {
  std::memset(out, 0, kDatagramSize);
  std::memcpy(out + kOffsetSignature, controlSignature.data(), kSignatureSize);
}

void BuildTestFrame(const Signature& frameSignature, const Nonce& nonce, uint32_t sequence,
                    uint32_t sendTick, uint8_t* out) {
  std::memset(out, 0, kDatagramSize);
  std::memcpy(out + kOffsetSignature, frameSignature.data(), kSignatureSize);
  std::memcpy(out + kOffsetNonce, nonce.data(), kNonceSize);
  WriteLe32(out + kOffsetEndFlag, 0);
  WriteLe32(out + kOffsetSequence, sequence);
  WriteLe32(out + kOffsetSendTick, sendTick);
  WriteLe32(out + kOffsetArrivalTick, 0);
}

PhoneDatagram ReadPhoneDatagram(const uint8_t* bytes, std::size_t length) {
  uint8_t record[kPhoneRecordSize] = {};
  std::memcpy(record, bytes, length < kPhoneRecordSize ? length : kPhoneRecordSize);
  PhoneDatagram d;
  std::memcpy(d.nonce.data(), record + kOffsetNonce, kNonceSize);
  d.endFlag = ReadLe32(record + kOffsetEndFlag);
  d.sequence = ReadLe32(record + kOffsetSequence);
  d.sendTick = ReadLe32(record + kOffsetSendTick);
  d.arrivalTick = ReadLe32(record + kOffsetArrivalTick);
  return d;
}

}  // namespace pathmon
