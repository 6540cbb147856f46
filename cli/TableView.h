// SPDX-License-Identifier: Apache-2.0
#pragma once
// The result table as a terminal shows it: only as many columns as fit its width (the
// figures go in the order of their keep field, frontend/Figures.h, so that the score, the
// worst window and the frames lost stay longest; a note under the table names those left
// out), a legend line with the units of the columns shown, and on a colour terminal
// (NO_COLOR not set) each phone's state and figures coloured by the band of its current
// cycle's verdict (frontend/Verdict.h): red when it is not usable, amber when it is usable
// but a 10-second window scored below 3.6, the host could not keep the sending schedule, or
// the test ended before its duration; green rows stay uncoloured.

#include <cstddef>
#include <string>
#include <vector>

#include "cli/ResultTable.h"
#include "frontend/Fleet.h"
#include "frontend/Verdict.h"

namespace pathmon::cli {

// A phone's row as its test stands now, its voice figures assessed now, and its band (minMos
// as --min-mos; 0: not given).
struct LiveRow {
  RowTexts texts;
  Band band = Band::kNone;
};
LiveRow ReadLiveRow(MainBackend& backend, const FleetPhone& phone, double minMos);

struct TableLayout {
  std::size_t maxWidth = 0;  // 0: no limit
  bool colour = false;
};

// RenderTable's table, fitted and coloured, with its note and legend; bands has one entry per
// row (or none).
std::string RenderFittedTable(const std::vector<RowTexts>& rows, const std::vector<Band>& bands,
                              const TableLayout& layout);

// line cut to width characters (0: no limit), so a redrawn screen keeps its lines.
std::string FitLine(const std::string& line, std::size_t width);

// The terminal's width in columns for the descriptor (0 when it is no terminal), and whether
// colours may be used on it.
std::size_t TerminalColumns(int fd);
bool ColourWanted(int fd);

}  // namespace pathmon::cli
