// SPDX-License-Identifier: Apache-2.0
#pragma once
// The figures of a test cycle, each described once: the voice history, the main window's
// columns and its sort, the command line's table and the JSON report all read this one
// table, so a figure added here appears in each of them.

#include <array>
#include <cstdint>

#include "looptest/TestStatistics.h"

namespace pathmon {

struct Figure {
  const char* header;   // column header in the main window and the command line's table
  int width;            // the main window's column width, pixels
  int keep;             // a narrow table keeps columns of lower numbers longer (1 longest)
  const char* jsonKey;  // key in the report's cycles (never renamed: scripts read it)
  const char* unit;     // "frames", "ms" or "count" (a count of what the header names)
  int32_t (*get)(const TestStatistics& stats);
  bool column;  // a column of the main window's list and the command line's table; the
                // others are in the report only. The columns come first.
};

inline constexpr std::array<Figure, 10> kFigures = {{
    {"SENT", 70, 8, "sent", "frames", [](const TestStatistics& s) { return s.sent; }, true},
    {"RCVD", 60, 9, "received", "frames", [](const TestStatistics& s) { return s.received; }, true},
    {"LOST", 70, 3, "lost", "frames", [](const TestStatistics& s) { return s.lost; }, true},
    {"INTERRUPTIONS", 100, 4, "interruptions", "count",
     [](const TestStatistics& s) { return s.interruptions; }, true},
    {"AVG RTT", 100, 5, "avgRtt", "ms", [](const TestStatistics& s) { return s.avgRtt; }, true},
    {"MAXBURSTLOST", 100, 10, "maxBurstLost", "frames",
     [](const TestStatistics& s) { return s.maxBurstLost; }, true},
    {"DELAYED", 100, 12, "delayed", "frames", [](const TestStatistics& s) { return s.delayed; },
     true},
    {"RTT", 40, 13, "lastRtt", "ms", [](const TestStatistics& s) { return s.lastRtt; }, true},
    {"MAX RTT", 40, 11, "maxRtt", "ms", [](const TestStatistics& s) { return s.maxRtt; }, true},
    {"STRAY", 60, 0, "strayEchoes", "count",
     [](const TestStatistics& s) { return s.strayEchoes; }, false},
}};

}  // namespace pathmon
