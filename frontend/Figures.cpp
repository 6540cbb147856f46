// SPDX-License-Identifier: Apache-2.0
#include "frontend/Figures.h"

#include <fmt/format.h>

#include <algorithm>
#include <utility>

namespace pathmon {

std::string VoiceFigureText(const VoiceFigure& figure, const VoiceQuality& voice) {
  if (voice.loss.sent == 0) return "-";
  return fmt::format("{:.{}f}", figure.get(voice), figure.decimals);
}

std::vector<std::string> UnitLegend(const std::vector<int>& columns, std::size_t width) {
  // The units in the order the columns first show them; a score's range is its unit.
  std::vector<std::pair<std::string_view, std::vector<std::string_view>>> units;
  for (int c : columns) {
    if (c < 0 || c >= kTableColumnCount) continue;
    const ListColumn& column = kTableColumns[static_cast<std::size_t>(c)];
    std::string_view unit = column.unit;
    if (unit.empty() || unit == "count") continue;
    if (unit == "MOS") unit = "score 1-5";
    auto it =
        std::find_if(units.begin(), units.end(), [&](const auto& u) { return u.first == unit; });
    if (it == units.end()) it = units.insert(units.end(), {unit, {}});
    it->second.push_back(column.header);
  }
  // Words that stay together: "frames: SENT," "LOST;" "ms: AVG RTT," ...
  std::vector<std::string> words;
  for (std::size_t u = 0; u < units.size(); ++u) {
    const auto& [unit, headers] = units[u];
    for (std::size_t h = 0; h < headers.size(); ++h) {
      std::string word = h == 0 ? fmt::format("{}: {}", unit, headers[h]) : std::string(headers[h]);
      if (h + 1 < headers.size()) {
        word += ",";
      } else if (u + 1 < units.size()) {
        word += ";";
      }
      words.push_back(std::move(word));
    }
  }
  std::vector<std::string> lines;
  for (const std::string& word : words) {
    if (!lines.empty() && (width == 0 || lines.back().size() + 1 + word.size() <= width)) {
      lines.back() += " " + word;
    } else {
      lines.push_back(word);
    }
  }
  return lines;
}

}  // namespace pathmon
