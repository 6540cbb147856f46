#pragma once
// The figures of a test cycle as every view shows them: the main window's columns and its
// sort, the command line's table and the JSON report all read this one table, so a figure
// added here appears in each of them.

#include <array>
#include <cstdint>
#include <string_view>

#include "looptest/LoopTest.h"

namespace pathmon {

struct Figure {
  const char* header;   // column header in the main window and the command line's table
  int width;            // the main window's column width, pixels
  const char* jsonKey;  // key in the report's cycles (never renamed: scripts read it)
  const char* unit;     // "frames", "ms" or "count"
  int32_t (*get)(const TestStatistics& stats);
};

inline constexpr std::array<Figure, 9> kFigures = {{
    {"SENT", 70, "sent", "frames", [](const TestStatistics& s) { return s.sent; }},
    {"RCVD", 60, "received", "frames", [](const TestStatistics& s) { return s.received; }},
    {"LOST", 70, "lost", "frames", [](const TestStatistics& s) { return s.lost; }},
    {"INTERRUPTIONS", 100, "interruptions", "count",
     [](const TestStatistics& s) { return s.interruptions; }},
    {"AVG RTT", 100, "avgRtt", "ms", [](const TestStatistics& s) { return s.avgRtt; }},
    {"MAXBURSTLOST", 100, "maxBurstLost", "frames",
     [](const TestStatistics& s) { return s.maxBurstLost; }},
    {"DELAYED", 100, "delayed", "count", [](const TestStatistics& s) { return s.delayed; }},
    {"RTT", 40, "lastRtt", "ms", [](const TestStatistics& s) { return s.lastRtt; }},
    {"MAX RTT", 40, "maxRtt", "ms", [](const TestStatistics& s) { return s.maxRtt; }},
}};

// The list's columns: the phone's user name, serial number and test state, then the figures.
struct ListColumn {
  const char* header;
  int width;  // pixels
};
inline constexpr int kFirstFigureColumn = 3;
inline constexpr int kColumnCount = kFirstFigureColumn + static_cast<int>(kFigures.size());
inline constexpr std::array<ListColumn, kColumnCount> kListColumns = [] {
  std::array<ListColumn, kColumnCount> columns = {{{"USER", 100}, {"SN", 150}, {"PATHMON", 70}}};
  for (std::size_t i = 0; i < kFigures.size(); ++i) {
    columns[kFirstFigureColumn + i] = {kFigures[i].header, kFigures[i].width};
  }
  return columns;
}();

// The figure shown in a figure column; 0 for any other column.
inline int32_t ColumnFigure(const TestStatistics& stats, int column) {
  if (column < kFirstFigureColumn || column >= kColumnCount) return 0;
  return kFigures[static_cast<std::size_t>(column - kFirstFigureColumn)].get(stats);
}

}  // namespace pathmon
