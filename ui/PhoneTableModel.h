// SPDX-License-Identifier: Apache-2.0
#pragma once
// The main window's table as a Qt item model over the front end's PhoneTable: the cell
// texts, the row's colour band (from the palette, so it reads in a dark theme too) and its
// tooltip. The presenter writes through the MainView calls; the model turns each change into
// the model signals, coalesced into one dataChanged per event-loop turn so a refresh of every
// row repaints once.

#include <QAbstractTableModel>
#include <QPalette>
#include <QStyledItemDelegate>

#include "frontend/PhoneTable.h"

namespace pathmon {

// Contract: user-interface thread only.
class PhoneTableModel final : public QAbstractTableModel {
  Q_OBJECT

 public:
  explicit PhoneTableModel(QObject* parent = nullptr);

  const PhoneTable& Table() const { return table_; }
  void Clear();
  int Insert(int row, const std::string& text, LoopTest* test);
  void SetText(int row, int column, const std::string& text);
  void SetBand(int row, Band band, const std::string& toolTip);
  void Reorder(const std::vector<int>& order);
  // The palette the band colours are mixed from (the view's).
  void SetPalette(const QPalette& palette);
  // Sends the pending dataChanged now instead of at the next event-loop turn.
  void Flush();

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

 private:
  void MarkChanged(int row, int firstColumn, int lastColumn);

  PhoneTable table_;
  QPalette palette_;
  // The rectangle of cells changed since the last dataChanged; empty when firstRow_ < 0.
  int firstRow_ = -1, lastRow_ = -1, firstColumn_ = -1, lastColumn_ = -1;
  bool flushQueued_ = false;
};

// Paints a cell of the table as one line of text over its band or the selection (a selected
// row keeps its band in the MOS cell, framed by the selection's colour), without the general
// item delegate's text layout: the refresh repaints every visible cell, and this takes a
// fraction of the time. Other roles (icons, check boxes) are not drawn: the table has none.
class TableCellDelegate final : public QStyledItemDelegate {
 public:
  using QStyledItemDelegate::QStyledItemDelegate;
  void paint(QPainter* painter, const QStyleOptionViewItem& option,
             const QModelIndex& index) const override;
};

// The background of a row in band, mixed from the palette's base colour so the text colour
// of the palette stays legible on it; invalid for green and none.
QColor BandColor(const QPalette& palette, Band band);

}  // namespace pathmon
