// SPDX-License-Identifier: Apache-2.0
#pragma once
// Bytes as lower-case hexadecimal, two digits each: golden vectors, snmpd's octet strings.

#include <cstdint>
#include <string>

namespace pathmon::testing {

template <typename Bytes>  // any sequence of bytes or chars
std::string Hex(const Bytes& bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (const auto c : bytes) {
    const auto b = static_cast<uint8_t>(c);
    out += kDigits[b >> 4];
    out += kDigits[b & 15];
  }
  return out;
}

}  // namespace pathmon::testing
