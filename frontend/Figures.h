// SPDX-License-Identifier: Apache-2.0
#pragma once
// The figures of a test cycle as every view shows them: the main window's columns and its
// sort, the command line's table and the JSON report all read this one table, so a figure
// added here appears in each of them.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "looptest/LoopTest.h"

namespace pathmon {

struct Figure {
  const char* header;   // column header in the main window and the command line's table
  int width;            // the main window's column width, pixels
  const char* jsonKey;  // key in the report's cycles (never renamed: scripts read it)
  const char* unit;     // "frames", "ms" or "count"
  int32_t (*get)(const TestStatistics& stats);
  bool column;  // a column of the main window's list and the command line's table; the
                // others are in the report only. The columns come first.
};

inline constexpr std::array<Figure, 10> kFigures = {{
    {"SENT", 70, "sent", "frames", [](const TestStatistics& s) { return s.sent; }, true},
    {"RCVD", 60, "received", "frames", [](const TestStatistics& s) { return s.received; }, true},
    {"LOST", 70, "lost", "frames", [](const TestStatistics& s) { return s.lost; }, true},
    {"INTERRUPTIONS", 100, "interruptions", "count",
     [](const TestStatistics& s) { return s.interruptions; }, true},
    {"AVG RTT", 100, "avgRtt", "ms", [](const TestStatistics& s) { return s.avgRtt; }, true},
    {"MAXBURSTLOST", 100, "maxBurstLost", "frames",
     [](const TestStatistics& s) { return s.maxBurstLost; }, true},
    {"DELAYED", 100, "delayed", "count", [](const TestStatistics& s) { return s.delayed; }, true},
    {"RTT", 40, "lastRtt", "ms", [](const TestStatistics& s) { return s.lastRtt; }, true},
    {"MAX RTT", 40, "maxRtt", "ms", [](const TestStatistics& s) { return s.maxRtt; }, true},
    {"STRAY", 60, "strayEchoes", "count",
     [](const TestStatistics& s) { return s.strayEchoes; }, false},
}};

// The list's columns: the phone's user name, serial number and test state, then the figures.
struct ListColumn {
  const char* header;
  int width;  // pixels
};
inline constexpr int kFirstFigureColumn = 3;
inline constexpr int kColumnCount = kFirstFigureColumn + [] {
  int n = 0;
  for (const Figure& figure : kFigures) n += figure.column ? 1 : 0;
  return n;
}();
inline constexpr std::array<ListColumn, kColumnCount> kListColumns = [] {
  std::array<ListColumn, kColumnCount> columns = {{{"USER", 100}, {"SN", 150}, {"PATHMON", 70}}};
  for (std::size_t i = 0; i + kFirstFigureColumn < columns.size(); ++i) {
    columns[kFirstFigureColumn + i] = {kFigures[i].header, kFigures[i].width};
  }
  return columns;
}();

// The voice figures of a cycle (see looptest/VoiceQuality.h) as the command line's table
// shows them after the columns above; the report carries them whole in its "voice" object.
struct VoiceFigure {
  const char* header;
  int width;     // pixels, as Figure's
  const char* unit;  // "ms" or "MOS"
  int decimals;
  double (*get)(const VoiceQuality& voice);
};

inline constexpr std::array<VoiceFigure, 4> kVoiceFigures = {{
    {"JITTER", 70, "ms", 2, [](const VoiceQuality& v) { return v.jitterUs / 1000.0; }},
    {"P95 RTT", 70, "ms", 1, [](const VoiceQuality& v) { return v.rtt.p95Us / 1000.0; }},
    {"MOS", 50, "MOS", 2, [](const VoiceQuality& v) { return v.score.mos; }},
    {"WORST", 60, "MOS", 2, [](const VoiceQuality& v) { return v.worstWindowMos; }},
}};

// The figure with its decimals; "-" while the cycle has no frame to judge.
std::string VoiceFigureText(const VoiceFigure& figure, const VoiceQuality& voice);

// The figure shown in a figure column; 0 for any other column.
inline int32_t ColumnFigure(const TestStatistics& stats, int column) {
  if (column < kFirstFigureColumn || column >= kColumnCount) return 0;
  return kFigures[static_cast<std::size_t>(column - kFirstFigureColumn)].get(stats);
}

}  // namespace pathmon
