// SPDX-License-Identifier: Apache-2.0
#include "ui/PhoneTableModel.h"

#include <QApplication>
#include <QColor>
#include <QMetaObject>
#include <QPainter>
#include <QStyle>
#include <algorithm>

namespace pathmon {

namespace {

constexpr int kBandInset = 2;  // pixels of the selection around a selected row's band

}  // namespace

QColor BandColor(const QPalette& palette, Band band) {
  // A green row is left as it is: only what needs a look stands out of a long list.
  if (band != Band::kRed && band != Band::kAmber) return {};
  QColor base = palette.color(QPalette::Active, QPalette::Base);
  QColor tint = band == Band::kRed ? QColor(230, 40, 40) : QColor(240, 170, 0);
  // A third of the tint over the base: a light pink or yellow on a light base, a dark red or
  // brown on a dark one; either way the palette's text colour keeps its contrast.
  double a = base.lightnessF() > 0.5 ? 0.30 : 0.40;
  return QColor::fromRgbF(static_cast<float>(base.redF() * (1 - a) + tint.redF() * a),
                          static_cast<float>(base.greenF() * (1 - a) + tint.greenF() * a),
                          static_cast<float>(base.blueF() * (1 - a) + tint.blueF() * a));
}

void TableCellDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                              const QModelIndex& index) const {
  QPalette::ColorGroup group = !(option.state & QStyle::State_Enabled) ? QPalette::Disabled
                               : (option.state & QStyle::State_Active) ? QPalette::Active
                                                                       : QPalette::Inactive;
  bool selected = (option.state & QStyle::State_Selected) != 0;
  const QVariant band = index.data(Qt::BackgroundRole);
  if (selected) {
    painter->fillRect(option.rect, option.palette.brush(group, QPalette::Highlight));
    // A selected row keeps its band in the cell that names it, framed by the selection,
    // with the text in the band's colours.
    if (band.isValid() && index.column() == kBandColumn) {
      painter->fillRect(option.rect.adjusted(kBandInset, kBandInset, -kBandInset, -kBandInset),
                        band.value<QColor>());
      selected = false;
    }
  } else if (band.isValid()) {
    painter->fillRect(option.rect, band.value<QColor>());
  }
  QString text = index.data(Qt::DisplayRole).toString();
  if (text.isEmpty()) return;
  const QWidget* widget = option.widget;
  QStyle* style = widget != nullptr ? widget->style() : QApplication::style();
  int margin = style->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, widget) + 1;
  QRect area = option.rect.adjusted(margin, 0, -margin, 0);
  const QFontMetrics& metrics = option.fontMetrics;
  if (metrics.horizontalAdvance(text) > area.width()) {
    text = metrics.elidedText(text, Qt::ElideRight, area.width());
  }
  painter->setPen(option.palette.color(group, selected ? QPalette::HighlightedText : QPalette::Text));
  int baseline = area.top() + (area.height() - metrics.height()) / 2 + metrics.ascent();
  painter->drawText(QPoint(area.left(), baseline), text);
}

PhoneTableModel::PhoneTableModel(QObject* parent) : QAbstractTableModel(parent) {}

void PhoneTableModel::Clear() {
  beginResetModel();
  table_.Clear();
  firstRow_ = -1;
  endResetModel();
}

int PhoneTableModel::Insert(int row, const std::string& text, LoopTest* test) {
  int at = std::clamp(row, 0, table_.RowCount());
  Flush();  // pending rectangles are in the old row numbers
  beginInsertRows({}, at, at);
  table_.Insert(at, text, test);
  endInsertRows();
  return at;
}

void PhoneTableModel::SetText(int row, int column, const std::string& text) {
  if (table_.SetText(row, column, text)) MarkChanged(row, column, column);
}

void PhoneTableModel::SetBand(int row, Band band, const std::string& toolTip) {
  if (table_.SetBand(row, band, toolTip)) MarkChanged(row, 0, kTableColumnCount - 1);
}

void PhoneTableModel::Reorder(const std::vector<int>& order) {
  Flush();
  Q_EMIT layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
  std::vector<int> newRow(order.size());
  for (std::size_t i = 0; i < order.size(); ++i) {
    newRow[static_cast<std::size_t>(order[i])] = static_cast<int>(i);
  }
  QModelIndexList from = persistentIndexList();
  QModelIndexList to;
  for (const QModelIndex& index : from) {
    to.append(index.isValid() && index.row() < static_cast<int>(newRow.size())
                  ? this->index(newRow[static_cast<std::size_t>(index.row())], index.column())
                  : QModelIndex());
  }
  table_.Reorder(order);
  changePersistentIndexList(from, to);
  Q_EMIT layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}

void PhoneTableModel::SetPalette(const QPalette& palette) {
  palette_ = palette;
  if (table_.RowCount() == 0) return;
  MarkChanged(0, 0, kTableColumnCount - 1);
  MarkChanged(table_.RowCount() - 1, 0, kTableColumnCount - 1);
}

void PhoneTableModel::MarkChanged(int row, int firstColumn, int lastColumn) {
  if (firstRow_ < 0) {
    firstRow_ = lastRow_ = row;
    firstColumn_ = firstColumn;
    lastColumn_ = lastColumn;
  } else {
    firstRow_ = std::min(firstRow_, row);
    lastRow_ = std::max(lastRow_, row);
    firstColumn_ = std::min(firstColumn_, firstColumn);
    lastColumn_ = std::max(lastColumn_, lastColumn);
  }
  if (!flushQueued_) {
    flushQueued_ = true;
    QMetaObject::invokeMethod(this, &PhoneTableModel::Flush, Qt::QueuedConnection);
  }
}

void PhoneTableModel::Flush() {
  flushQueued_ = false;
  if (firstRow_ < 0) return;
  QModelIndex topLeft = index(firstRow_, firstColumn_);
  QModelIndex bottomRight = index(lastRow_, lastColumn_);
  firstRow_ = -1;
  Q_EMIT dataChanged(topLeft, bottomRight);
}

int PhoneTableModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : table_.RowCount();
}

int PhoneTableModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : kTableColumnCount;
}

QVariant PhoneTableModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= table_.RowCount()) return {};
  const TableRow& row = table_.Row(index.row());
  switch (role) {
    case Qt::DisplayRole:
      return QString::fromStdString(row.cells.at(static_cast<std::size_t>(index.column())));
    case Qt::ToolTipRole:
      return row.toolTip.empty() ? QVariant() : QVariant(QString::fromStdString(row.toolTip));
    case Qt::BackgroundRole: {
      QColor color = BandColor(palette_, row.band);
      return color.isValid() ? QVariant(color) : QVariant();
    }
    case Qt::TextAlignmentRole:
      return QVariant::fromValue(Qt::AlignLeft | Qt::AlignVCenter);
    default:
      return {};
  }
}

QVariant PhoneTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal) return {};
  if (role == Qt::DisplayRole) return QString::fromUtf8(TableHeader(section));
  // A first click sorts largest first, the main window's order.
  if (role == Qt::InitialSortOrderRole) return Qt::DescendingOrder;
  if (role == Qt::TextAlignmentRole) return QVariant::fromValue(Qt::AlignLeft | Qt::AlignVCenter);
  return {};
}

}  // namespace pathmon
