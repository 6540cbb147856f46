// SPDX-License-Identifier: Apache-2.0
#include "sim/Signing.h"

#include <openssl/evp.h>

#include <algorithm>
#include <stdexcept>
#include <string>

namespace pathmon::sim {
namespace {

constexpr std::string_view kPhoneSharedKey = "Kq7#Lm2!Zt9%Wx4&";

void OneShot(const EVP_MD* md, const void* data, std::size_t length, uint8_t* out,
             unsigned expected) {
  unsigned produced = 0;
  if (EVP_Digest(data, length, out, &produced, md, nullptr) != 1 || produced != expected) {
    throw std::runtime_error("EVP_Digest failed");
  }
}

}  // namespace

Digest16 PhoneKeyDigest(std::string_view serial) {
  std::string material(serial);
  material.append(kPhoneSharedKey);
  Digest16 digest{};
  OneShot(EVP_md5(), material.data(), material.size(), digest.data(), digest.size());
  return digest;
}

Sig20 PhoneSignature(const Digest16& keyDigest, const Nonce8& nonce) {
  std::array<uint8_t, 24> input{};
  std::copy(keyDigest.begin(), keyDigest.end(), input.begin());
  std::copy(nonce.begin(), nonce.end(), input.begin() + 16);
  Sig20 sig{};
  OneShot(EVP_sha1(), input.data(), input.size(), sig.data(), sig.size());
  return sig;
}

uint32_t GetLe32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

void PutLe32(uint8_t* p, uint32_t value) {
  p[0] = static_cast<uint8_t>(value);
  p[1] = static_cast<uint8_t>(value >> 8);
  p[2] = static_cast<uint8_t>(value >> 16);
  p[3] = static_cast<uint8_t>(value >> 24);
}

}  // namespace pathmon::sim
