// SPDX-License-Identifier: Apache-2.0
// The main window's table model without a window: the selection follows its rows through a
// sort, a refresh of every cell signals once, and the band colours stay legible on a light
// and on a dark palette.

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QItemSelectionModel>
#include <QPalette>
#include <algorithm>
#include <cmath>

#include "ui/PhoneTableModel.h"

namespace pathmon {
namespace {

TEST(TableModel, TheSelectionFollowsItsRowsThroughASort) {
  PhoneTableModel model;
  for (int i = 0; i < 4; ++i) model.Insert(i, "user" + std::to_string(i), nullptr);
  QItemSelectionModel selection(&model);
  for (int row : {1, 3}) {
    selection.select(model.index(row, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
  }
  selection.setCurrentIndex(model.index(3, 2), QItemSelectionModel::NoUpdate);
  model.Reorder({3, 2, 1, 0});
  std::vector<int> selected;
  for (int row = 0; row < model.rowCount(); ++row) {
    if (selection.isRowSelected(row, {})) selected.push_back(row);
  }
  EXPECT_EQ(selected, (std::vector<int>{0, 2}));
  EXPECT_EQ(selection.currentIndex(), model.index(0, 2));
  EXPECT_EQ(model.index(0, 0).data().toString(), "user3");
}

TEST(TableModel, ARefreshOfEveryCellSignalsOnceAndAnUnchangedCellNotAtAll) {
  int argc = 1;
  char name[] = "table_model";
  char* argv[] = {name, nullptr};
  QCoreApplication app(argc, argv);
  PhoneTableModel model;
  for (int i = 0; i < 128; ++i) model.Insert(i, "user", nullptr);
  std::vector<std::pair<QModelIndex, QModelIndex>> changes;
  QObject::connect(&model, &QAbstractItemModel::dataChanged,
                   [&](const QModelIndex& a, const QModelIndex& b) { changes.emplace_back(a, b); });
  for (int row = 0; row < 128; ++row) {
    for (int column = 2; column < kTableColumnCount; ++column) model.SetText(row, column, "7");
  }
  model.SetBand(5, Band::kRed, "tip");
  EXPECT_TRUE(changes.empty());  // not before the event loop's turn
  QCoreApplication::processEvents();
  ASSERT_EQ(changes.size(), 1u);
  EXPECT_EQ(changes[0].first, model.index(0, 0));
  EXPECT_EQ(changes[0].second, model.index(127, kTableColumnCount - 1));
  EXPECT_EQ(model.index(5, 3).data(Qt::ToolTipRole).toString(), "tip");
  model.SetText(3, 3, "7");
  QCoreApplication::processEvents();
  EXPECT_EQ(changes.size(), 1u);
}

// WCAG's relative luminance and contrast ratio.
double Luminance(const QColor& c) {
  auto channel = [](double v) { return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); };
  return 0.2126 * channel(c.redF()) + 0.7152 * channel(c.greenF()) + 0.0722 * channel(c.blueF());
}
double Contrast(const QColor& a, const QColor& b) {
  double la = Luminance(a), lb = Luminance(b);
  return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

TEST(TableModel, BandColoursKeepTheTextLegibleOnLightAndDarkPalettes) {
  struct Theme {
    const char* name;
    QColor base, text;
  };
  const Theme themes[] = {{"light", Qt::white, Qt::black},
                          {"dark", QColor(35, 38, 41), QColor(239, 240, 241)}};
  for (const Theme& theme : themes) {
    QPalette palette;
    palette.setColor(QPalette::Base, theme.base);
    palette.setColor(QPalette::Text, theme.text);
    EXPECT_FALSE(BandColor(palette, Band::kNone).isValid());
    EXPECT_FALSE(BandColor(palette, Band::kGreen).isValid());
    for (Band band : {Band::kAmber, Band::kRed}) {
      QColor background = BandColor(palette, band);
      EXPECT_GE(Contrast(background, theme.text), 4.5) << theme.name;  // WCAG AA
      EXPECT_NE(background, theme.base) << theme.name;
    }
    EXPECT_NE(BandColor(palette, Band::kAmber), BandColor(palette, Band::kRed)) << theme.name;
  }
}

}  // namespace
}  // namespace pathmon
