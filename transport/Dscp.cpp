// SPDX-License-Identifier: Apache-2.0
#include "transport/Dscp.h"

#include <charconv>
#include <strings.h>

namespace pathmon {

bool ParseDscp(std::string_view text, int32_t& dscp) {
  const std::size_t begin = text.find_first_not_of(" \t");
  if (begin == std::string_view::npos) return false;
  text = text.substr(begin, text.find_last_not_of(" \t") - begin + 1);
  for (const DscpName& known : kDscpNames) {
    const std::string_view name = known.name;
    if (text.size() == name.size() && ::strncasecmp(text.data(), name.data(), name.size()) == 0) {
      dscp = known.value;
      return true;
    }
  }
  int32_t value = -1;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || value < 0 || value > kMaxDscp) {
    return false;
  }
  dscp = value;
  return true;
}

std::string DscpText(int32_t dscp) {
  for (const DscpName& known : kDscpNames) {
    if (known.value == dscp) return std::string(known.name) + " (" + std::to_string(dscp) + ")";
  }
  return std::to_string(dscp);
}

}  // namespace pathmon
