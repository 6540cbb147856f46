// SPDX-License-Identifier: Apache-2.0
#pragma once
// The figures of a test cycle as the views show them: the main window's columns and its
// sort, the command line's table and the reports read the one figure table
// (engine/CycleFigures.h), so a figure added there appears in each of them.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "engine/CycleFigures.h"
#include "looptest/LoopTest.h"

namespace pathmon {

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
