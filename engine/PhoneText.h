// SPDX-License-Identifier: Apache-2.0
#pragma once
// Texts that phones choose (user names, serial numbers, log rows) on their way to a file
// name or a terminal. One classification of control characters serves both, so that what a
// terminal is spared and what a file name is spared never drift apart. Core code: no Qt.

#include <string>
#include <string_view>

namespace pathmon {

// True when text is well-formed UTF-8 (RFC 3629: no overlong forms, no surrogates, nothing
// above U+10FFFF).
bool IsUtf8(std::string_view text);

// Replaces every control character by replacement: C0 (0x00-0x1F), DEL (0x7F) and C1
// (U+0080-U+009F). In well-formed UTF-8 a C1 character is the two bytes C2 80 to C2 9F and
// becomes one replacement; in any other text every byte 0x80-0x9F is taken as a C1 control,
// as an 8-bit terminal would take it. Other characters are kept byte for byte.
std::string ReplaceControlCharacters(std::string_view text, std::string_view replacement);

}  // namespace pathmon
