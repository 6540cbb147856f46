// SPDX-License-Identifier: Apache-2.0
#include "cli/ResultTable.h"

#include <algorithm>

#include "engine/PhoneText.h"
#include "frontend/Messages.h"

namespace pathmon::cli {

std::string PrintableText(std::string text) { return ReplaceControlCharacters(text, "?"); }

RowTexts MakeRow(const std::string& userName, const std::string& serialNumber,
                 const TestSnapshot& snapshot, const VoiceQuality& voice) {
  RowTexts row;
  row[0] = PrintableText(userName);
  row[1] = PrintableText(serialNumber);
  // A silent path is told in the state's place: the test runs, and nothing comes back.
  const std::string silence = EchoSilenceText(snapshot);
  row[2] = !silence.empty() ? silence : snapshot.running ? kStatusRunning : kStatusStopped;
  for (int column = kFirstFigureColumn; column < kColumnCount; ++column) {
    row[static_cast<std::size_t>(column)] = std::to_string(ColumnFigure(snapshot.stats, column));
  }
  for (std::size_t i = 0; i < kVoiceFigures.size(); ++i) {
    row[kColumnCount + i] = VoiceFigureText(kVoiceFigures[i], voice);
  }
  return row;
}

std::string RenderTable(const std::vector<RowTexts>& rows) {
  auto header = [](std::size_t c) { return std::string_view(kTableColumns[c].header); };
  std::array<std::size_t, kTableColumnCount> width{};
  for (std::size_t c = 0; c < width.size(); ++c) {
    width[c] = header(c).size();
    for (const RowTexts& row : rows) width[c] = std::max(width[c], row[c].size());
  }
  auto line = [&](auto text) {
    std::string out;
    for (std::size_t c = 0; c < width.size(); ++c) {
      std::string_view cell = text(c);
      out += cell;
      if (c + 1 < width.size()) out.append(width[c] - cell.size() + 2, ' ');
    }
    while (!out.empty() && out.back() == ' ') out.pop_back();
    return out + "\n";
  };
  std::string table = line(header);
  for (const RowTexts& row : rows) {
    table += line([&row](std::size_t c) { return std::string_view(row[c]); });
  }
  return table;
}

}  // namespace pathmon::cli
