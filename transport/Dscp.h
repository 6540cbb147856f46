// SPDX-License-Identifier: Apache-2.0
#pragma once
// The differentiated-services class (DSCP, RFC 2474) that marks the control exchange and the
// test frames, so that a loop test can measure the queue the phones' calls use (expedited
// forwarding, EF, DSCP 46) rather than the default one. 0 (CS0) leaves them unmarked, as the
// phones' protocol was built.

#include <cstdint>
#include <string>
#include <string_view>

namespace pathmon {

inline constexpr int32_t kMaxDscp = 63;

// The standard names: CS0 to CS7 (RFC 2474), AF11 to AF43 (RFC 2597), EF (RFC 3246) and
// VOICE-ADMIT as VA (RFC 5865).
struct DscpName {
  const char* name;
  int32_t value;
};
inline constexpr DscpName kDscpNames[] = {
    {"CS0", 0},   {"CS1", 8},   {"AF11", 10}, {"AF12", 12}, {"AF13", 14}, {"CS2", 16},
    {"AF21", 18}, {"AF22", 20}, {"AF23", 22}, {"CS3", 24},  {"AF31", 26}, {"AF32", 28},
    {"AF33", 30}, {"CS4", 32},  {"AF41", 34}, {"AF42", 36}, {"AF43", 38}, {"CS5", 40},
    {"VA", 44},   {"EF", 46},   {"CS6", 48},  {"CS7", 56},
};

// A name of kDscpNames (letter case ignored) or a whole number from 0 to 63, blanks around
// it allowed; false, dscp untouched, for anything else.
bool ParseDscp(std::string_view text, int32_t& dscp);

// "EF (46)", "CS0 (0)", or "13" for a value without a name.
std::string DscpText(int32_t dscp);

}  // namespace pathmon
