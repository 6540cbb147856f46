// SPDX-License-Identifier: Apache-2.0
// The history file's line, written and read back by the one pair that does both.

#include <gtest/gtest.h>

#include <array>
#include <string>

#include "engine/HistoryFile.h"

namespace pathmon {
namespace {

TEST(HistoryLine, ComesBackWholeAtEveryWidthAndOtherLinesAreRefused) {
  std::tm at{};
  at.tm_year = 2026 - 1900;
  at.tm_mon = 11;
  at.tm_mday = 8;
  at.tm_hour = 18;
  at.tm_sec = 5;
  // INTERRUPTIONS, MAXBURSTLOST, SEND, LOST, DELAYED, AVGRTT, MAXRTT; the last wider than
  // the line's fields.
  for (const std::array<int32_t, 7>& figures : std::array<std::array<int32_t, 7>, 3>{{
           {0, 0, 0, 0, 0, 0, 0},
           {3, 150, 15000, 150, 2, 41, 410},
           {1234, 123456, 2000000, 99999, 100000, 123456, 2000000000},
       }}) {
    TestStatistics stats;
    stats.received = 7;  // not in the line
    int32_t* fields[] = {&stats.interruptions, &stats.maxBurstLost, &stats.sent, &stats.lost,
                         &stats.delayed,       &stats.avgRtt,       &stats.maxRtt};
    for (std::size_t i = 0; i < figures.size(); ++i) *fields[i] = figures[i];
    const std::string line = FormatHistoryLine(at, stats);
    SCOPED_TRACE(line);
    const std::optional<HistoryLine> back = ParseHistoryLine(line);
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(FormatHistoryLine(back->local, back->stats), line);
    EXPECT_EQ(back->stats.received, 0);
    EXPECT_EQ(back->local.tm_isdst, -1);
    for (const std::string& other :
         {line.substr(0, line.rfind(' ')), line + " x", "x" + line, std::string()}) {
      EXPECT_FALSE(ParseHistoryLine(other).has_value()) << other;
    }
  }
}

}  // namespace
}  // namespace pathmon
