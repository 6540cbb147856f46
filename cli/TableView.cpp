// SPDX-License-Identifier: Apache-2.0
#include "cli/TableView.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <numeric>
#include <string_view>

namespace pathmon::cli {

namespace {

constexpr const char* kRed = "\x1b[31m";
constexpr const char* kAmber = "\x1b[33m";
constexpr const char* kReset = "\x1b[0m";
// The state is coloured with the figures, so the band shows however narrow the terminal.
constexpr std::size_t kFirstColoured = 2;

std::string_view Header(std::size_t c) { return kTableColumns[c].header; }

}  // namespace

LiveRow ReadLiveRow(MainBackend& backend, const FleetPhone& phone, double minMos) {
  const TestSnapshot snapshot = backend.Snapshot(*phone.test);
  const VoiceQuality voice = backend.Voice(*phone.test);
  return {MakeRow(phone.entry.userName, phone.serial, snapshot, voice),
          LiveVerdict(snapshot, voice, minMos).band};
}

std::string RenderFittedTable(const std::vector<RowTexts>& rows, const std::vector<Band>& bands,
                              const TableLayout& layout) {
  std::vector<std::size_t> width(kTableColumnCount);
  for (std::size_t c = 0; c < width.size(); ++c) {
    width[c] = Header(c).size();
    for (const RowTexts& row : rows) width[c] = std::max(width[c], row[c].size());
  }
  // Each column takes its width and the two blanks before the next. While the table is too
  // wide, the column kept for the shortest time goes (the user, serial number and state stay).
  std::vector<int> shown(width.size());
  std::iota(shown.begin(), shown.end(), 0);
  auto total = [&] {
    std::size_t sum = 0;
    for (int c : shown) sum += width[static_cast<std::size_t>(c)] + 2;
    return sum - 2;
  };
  while (layout.maxWidth > 0 && total() > layout.maxWidth) {
    auto last = std::max_element(shown.begin(), shown.end(), [](int a, int b) {
      return kTableColumns[static_cast<std::size_t>(a)].keep <
             kTableColumns[static_cast<std::size_t>(b)].keep;
    });
    if (kTableColumns[static_cast<std::size_t>(*last)].keep == 0) break;
    shown.erase(last);
  }

  auto line = [&](auto text, Band band) {
    std::string out;
    for (std::size_t i = 0; i < shown.size(); ++i) {
      const std::size_t c = static_cast<std::size_t>(shown[i]);
      std::string_view cell = text(c);
      const bool coloured =
          layout.colour && (band == Band::kRed || band == Band::kAmber) && c >= kFirstColoured;
      if (coloured) out += band == Band::kRed ? kRed : kAmber;
      out += cell;
      if (coloured) out += kReset;
      if (i + 1 < shown.size()) out.append(width[c] - cell.size() + 2, ' ');
    }
    while (!out.empty() && out.back() == ' ') out.pop_back();
    return out + "\n";
  };
  std::string table = line(Header, Band::kNone);
  for (std::size_t r = 0; r < rows.size(); ++r) {
    const RowTexts& row = rows[r];
    table += line([&row](std::size_t c) { return std::string_view(row[c]); },
                  r < bands.size() ? bands[r] : Band::kNone);
  }
  if (shown.size() < width.size()) {
    std::string note = "(" + std::to_string(width.size() - shown.size()) +
                       " columns left out for the terminal's width:";
    for (std::size_t c = 0; c < width.size(); ++c) {
      if (std::find(shown.begin(), shown.end(), static_cast<int>(c)) == shown.end()) {
        note += " " + std::string(Header(c));
      }
    }
    table += note + ")\n";
  }
  for (const std::string& legend : UnitLegend(shown, layout.maxWidth)) table += legend + "\n";
  return table;
}

std::string FitLine(const std::string& line, std::size_t width) {
  return width > 0 && line.size() > width ? line.substr(0, width) : line;
}

std::size_t TerminalColumns(int fd) {
  winsize size{};
  if (::isatty(fd) != 1 || ::ioctl(fd, TIOCGWINSZ, &size) != 0) return 0;
  return size.ws_col;
}

bool ColourWanted(int fd) {
  // no-color.org: set and not empty, it turns colours off.
  const char* noColour = std::getenv("NO_COLOR");
  return ::isatty(fd) == 1 && (noColour == nullptr || noColour[0] == '\0');
}

}  // namespace pathmon::cli
