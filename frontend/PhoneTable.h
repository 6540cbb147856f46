// SPDX-License-Identifier: Apache-2.0
#pragma once
// The main window's rows as the window shows them: each row's cell texts, its colour band
// and tooltip, and the test it stands for. The window's table model reads this; the test
// handle stays here, out of the widgets' item data. No Qt.

#include <string>
#include <vector>

#include "frontend/Figures.h"
#include "frontend/Verdict.h"
#include "looptest/VoiceQuality.h"

namespace pathmon {

// The voice figure of a column; nullptr for the list's own columns.
const VoiceFigure* ColumnVoiceFigure(int column);
const char* TableHeader(int column);

struct TableRow {
  LoopTest* test = nullptr;        // the row's test, for the presenter; nullptr when none
  std::vector<std::string> cells;  // kTableColumnCount texts, empty until written
  Band band = Band::kNone;  // the verdict of its current cycle
  std::string toolTip;  // the cycle's voice figures and interruptions; empty when none
};

// Contract: user-interface thread only, like the window. Row and column indexes out of range
// are ignored by the setters.
class PhoneTable {
 public:
  int RowCount() const { return static_cast<int>(rows_.size()); }
  const TableRow& Row(int row) const { return rows_.at(static_cast<std::size_t>(row)); }

  void Clear() { rows_.clear(); }
  // Inserts a row at index row, or at the end when row is past it; returns its index.
  int Insert(int row, const std::string& text, LoopTest* test);
  // Each returns true when the row changed.
  bool SetText(int row, int column, const std::string& text);
  bool SetBand(int row, Band band, const std::string& toolTip);
  // Puts old row order[i] at position i; order is a permutation of the rows.
  void Reorder(const std::vector<int>& order);

  // The headers, then the given rows, as tab-separated lines ending in "\n" (what a
  // spreadsheet pastes); tabs and line breaks inside a cell become blanks.
  std::string TabSeparated(const std::vector<int>& rows) const;

 private:
  std::vector<TableRow> rows_;
};

}  // namespace pathmon
