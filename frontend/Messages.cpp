// SPDX-License-Identifier: Apache-2.0
#include "frontend/Messages.h"

namespace pathmon {

std::string FillMessage(const char* format, const std::string& first, const std::string& second) {
  std::string out;
  int plainSeen = 0;
  for (const char* p = format; *p != '\0'; ++p) {
    if (p[0] == '%' && (p[1] == '1' || p[1] == '2')) {
      out += p[1] == '1' ? first : second;
      ++p;
    } else if (p[0] == '%' && p[1] == 's' && plainSeen < 2) {
      out += plainSeen++ == 0 ? first : second;
      ++p;
    } else {
      out += *p;
    }
  }
  return out;
}

}  // namespace pathmon
