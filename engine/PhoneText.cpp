// SPDX-License-Identifier: Apache-2.0
#include "engine/PhoneText.h"

#include <cstddef>
#include <cstdint>

namespace pathmon {

bool IsUtf8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<uint8_t>(text[i]);
    std::size_t length = 0;
    uint32_t min = 0;  // the smallest code point of this length: shorter forms are overlong
    if (lead < 0x80) {
      ++i;
      continue;
    } else if ((lead & 0xE0) == 0xC0) {
      length = 2, min = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
      length = 3, min = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
      length = 4, min = 0x10000;
    } else {
      return false;
    }
    if (text.size() - i < length) return false;
    uint32_t code = lead & (0x7F >> length);
    for (std::size_t k = 1; k < length; ++k) {
      const auto next = static_cast<uint8_t>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      code = (code << 6) | (next & 0x3F);
    }
    if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
    i += length;
  }
  return true;
}

std::string ReplaceControlCharacters(std::string_view text, std::string_view replacement) {
  const bool utf8 = IsUtf8(text);
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto b = static_cast<uint8_t>(text[i]);
    if (b < 0x20 || b == 0x7F || (!utf8 && b >= 0x80 && b <= 0x9F)) {
      out += replacement;
    } else if (utf8 && b == 0xC2 && i + 1 < text.size() &&
               static_cast<uint8_t>(text[i + 1]) <= 0x9F) {
      // Well-formed, so the next byte is a continuation byte (0x80 or more): U+0080-U+009F.
      out += replacement;
      ++i;
    } else {
      out += static_cast<char>(b);
    }
  }
  return out;
}

}  // namespace pathmon
