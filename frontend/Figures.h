// SPDX-License-Identifier: Apache-2.0
#pragma once
// The figures of a test cycle as the views show them: the main window's columns and its
// sort, the command line's table and the reports read the one figure table
// (engine/CycleFigures.h), so a figure added there appears in each of them.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/CycleFigures.h"
#include "looptest/LoopTest.h"

namespace pathmon {

// The list's columns: the phone's user name, serial number and test state, then the figures.
struct ListColumn {
  const char* header;
  int width;         // pixels
  const char* unit;  // as Figure's; "" for the phone's texts
  int keep;          // as Figure's; 0: never left out
};
inline constexpr int kFirstFigureColumn = 3;
inline constexpr int kColumnCount = kFirstFigureColumn + [] {
  int n = 0;
  for (const Figure& figure : kFigures) n += figure.column ? 1 : 0;
  return n;
}();
inline constexpr std::array<ListColumn, kColumnCount> kListColumns = [] {
  std::array<ListColumn, kColumnCount> columns = {
      {{"USER", 100, "", 0}, {"SN", 150, "", 0}, {"PATHMON", 70, "", 0}}};
  for (std::size_t i = 0; i + kFirstFigureColumn < columns.size(); ++i) {
    const Figure& f = kFigures[i];
    columns[kFirstFigureColumn + i] = {f.header, f.width, f.unit, f.keep};
  }
  return columns;
}();

// The voice figures of a cycle (see looptest/VoiceQuality.h) as the command line's table
// shows them after the columns above; the report carries them whole in its "voice" object.
struct VoiceFigure {
  const char* header;
  int width;         // pixels, as Figure's
  int keep;          // as Figure's
  const char* unit;  // "ms" or "MOS"
  int decimals;
  double (*get)(const VoiceQuality& voice);
};

inline constexpr std::array<VoiceFigure, 4> kVoiceFigures = {{
    {"JITTER", 60, 6, "ms", 2, [](const VoiceQuality& v) { return v.jitterUs / 1000.0; }},
    {"P95 RTT", 70, 7, "ms", 1, [](const VoiceQuality& v) { return v.rtt.p95Us / 1000.0; }},
    {"MOS", 50, 1, "MOS", 2, [](const VoiceQuality& v) { return v.score.mos; }},
    {"WORST", 60, 2, "MOS", 2, [](const VoiceQuality& v) { return v.worstWindowMos; }},
}};

// Every column of the main window's list and of the command line's table, in their order:
// the list's own, then the voice figures beside them (mtr's data_fields idea: each view reads
// its headers, widths, units and the order of leaving out from here).
inline constexpr int kFirstVoiceColumn = kColumnCount;
inline constexpr int kTableColumnCount = kColumnCount + static_cast<int>(kVoiceFigures.size());
inline constexpr std::array<ListColumn, kTableColumnCount> kTableColumns = [] {
  std::array<ListColumn, kTableColumnCount> columns{};
  for (std::size_t i = 0; i < kListColumns.size(); ++i) columns[i] = kListColumns[i];
  for (std::size_t i = 0; i < kVoiceFigures.size(); ++i) {
    const VoiceFigure& f = kVoiceFigures[i];
    columns[kListColumns.size() + i] = {f.header, f.width, f.unit, f.keep};
  }
  return columns;
}();
// The column that shows the band's word beside the score (MOS).
inline constexpr int kBandColumn = [] {
  for (int i = 0; i < kTableColumnCount; ++i) {
    if (std::string_view(kTableColumns[static_cast<std::size_t>(i)].header) == "MOS") return i;
  }
  return -1;
}();
static_assert(kBandColumn >= kFirstVoiceColumn);

// The units of the given columns in one line, each unit once with the headers it applies to:
// "frames: SENT, LOST; ms: AVG RTT, JITTER; score 1-5: MOS, WORST". Counts and the phone's
// texts need none. Cut into lines of at most width characters between headers (0: one line).
std::vector<std::string> UnitLegend(const std::vector<int>& columns, std::size_t width = 0);

// The figure with its decimals; "-" while the cycle has no frame to judge.
std::string VoiceFigureText(const VoiceFigure& figure, const VoiceQuality& voice);

// The figure shown in a figure column; 0 for any other column.
inline int32_t ColumnFigure(const TestStatistics& stats, int column) {
  if (column < kFirstFigureColumn || column >= kColumnCount) return 0;
  return kFigures[static_cast<std::size_t>(column - kFirstFigureColumn)].get(stats);
}

}  // namespace pathmon
