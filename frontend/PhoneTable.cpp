// SPDX-License-Identifier: Apache-2.0
#include "frontend/PhoneTable.h"

#include <algorithm>

namespace pathmon {

const char* TableHeader(int column) {
  if (column < 0 || column >= kTableColumnCount) return "";
  return kTableColumns[static_cast<std::size_t>(column)].header;
}

const VoiceFigure* ColumnVoiceFigure(int column) {
  if (column < kFirstVoiceColumn || column >= kTableColumnCount) return nullptr;
  return &kVoiceFigures[static_cast<std::size_t>(column - kFirstVoiceColumn)];
}

int PhoneTable::Insert(int row, const std::string& text, LoopTest* test) {
  TableRow r;
  r.test = test;
  r.cells.resize(kTableColumnCount);
  r.cells[0] = text;
  int at = std::clamp(row, 0, RowCount());
  rows_.insert(rows_.begin() + at, std::move(r));
  return at;
}

bool PhoneTable::SetText(int row, int column, const std::string& text) {
  if (row < 0 || row >= RowCount() || column < 0 || column >= kTableColumnCount) return false;
  std::string& cell = rows_[static_cast<std::size_t>(row)].cells[static_cast<std::size_t>(column)];
  if (cell == text) return false;
  cell = text;
  return true;
}

bool PhoneTable::SetBand(int row, Band band, const std::string& toolTip) {
  if (row < 0 || row >= RowCount()) return false;
  TableRow& r = rows_[static_cast<std::size_t>(row)];
  if (r.band == band && r.toolTip == toolTip) return false;
  r.band = band;
  r.toolTip = toolTip;
  return true;
}

void PhoneTable::Reorder(const std::vector<int>& order) {
  std::vector<TableRow> sorted;
  sorted.reserve(rows_.size());
  for (int old : order) sorted.push_back(std::move(rows_.at(static_cast<std::size_t>(old))));
  rows_ = std::move(sorted);
}

std::string PhoneTable::TabSeparated(const std::vector<int>& rows) const {
  auto cell = [](std::string text) {
    std::replace_if(text.begin(), text.end(), [](char c) { return c == '\t' || c == '\r' || c == '\n'; }, ' ');
    return text;
  };
  std::string out;
  for (int column = 0; column < kTableColumnCount; ++column) {
    out += (column > 0 ? "\t" : "") + cell(TableHeader(column));
  }
  out += '\n';
  for (int row : rows) {
    if (row < 0 || row >= RowCount()) continue;
    const TableRow& r = rows_[static_cast<std::size_t>(row)];
    for (int column = 0; column < kTableColumnCount; ++column) {
      out += (column > 0 ? "\t" : "") + cell(r.cells[static_cast<std::size_t>(column)]);
    }
    out += '\n';
  }
  return out;
}

}  // namespace pathmon
