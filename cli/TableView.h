// SPDX-License-Identifier: Apache-2.0
#pragma once
// The result table as a terminal shows it: only as many columns as fit its width (the
// columns are dropped from the right, and a note under the table names them), and on a
// colour terminal (NO_COLOR not set) each phone's state and figures coloured by how its current
// cycle would sound: red when it is not usable or its worst 10-second window scores below 3.1,
// amber when that window is below 3.6 or the host could not keep the sending schedule.

#include <cstddef>
#include <string>
#include <vector>

#include "cli/ResultTable.h"
#include "frontend/PhoneTable.h"

namespace pathmon::cli {

// The main window's row bands (frontend/PhoneTable.h), on the terminal.
using Band = RowBand;

// The band of a running cycle's figures; minMos as --min-mos (0: not given).
inline Band CycleBand(const TestStatistics& stats, const VoiceQuality& voice, double minMos) {
  return BandOf(stats, voice, minMos);
}

struct TableLayout {
  std::size_t maxWidth = 0;  // 0: no limit
  bool colour = false;
};

// RenderTable's table, fitted and coloured; bands has one entry per row (or none).
std::string RenderFittedTable(const std::vector<RowTexts>& rows, const std::vector<Band>& bands,
                              const TableLayout& layout);

// line cut to width characters (0: no limit), so a redrawn screen keeps its lines.
std::string FitLine(const std::string& line, std::size_t width);

// The terminal's width in columns for the descriptor (0 when it is no terminal), and whether
// colours may be used on it.
std::size_t TerminalColumns(int fd);
bool ColourWanted(int fd);

}  // namespace pathmon::cli
