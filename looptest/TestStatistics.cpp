// SPDX-License-Identifier: Apache-2.0
#include "looptest/TestStatistics.h"

#include <algorithm>
#include <cstdio>

namespace pathmon {

int FormatResult(const TestStatistics& stats, char* text, std::size_t size) {
  int n = std::snprintf(text, size,
                        "INTERRUPTIONS:%3d MAXBURSTLOST:%5d SEND:%5d LOST:%5d DELAYED:%5d "
                        "AVGRTT:%5d MAXRTT:%5d",
                        stats.interruptions, stats.maxBurstLost, stats.sent, stats.lost,
                        stats.delayed, stats.avgRtt, stats.maxRtt);
  if (n < 0 || size == 0) return 0;
  return std::min<int>(n, static_cast<int>(size) - 1);
}

}  // namespace pathmon
