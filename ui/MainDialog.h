// SPDX-License-Identifier: Apache-2.0
#pragma once
// The main window: the phone table with its figures, the help texts, the five commands and
// the status line. The logic is MainPresenter's; this is its Qt view. The window's geometry
// and column widths are kept in the user's QSettings between runs.

#include <QDialog>
#include <QPointer>
#include <functional>
#include <map>

#include "frontend/AddPhonesPresenter.h"
#include "frontend/MainPresenter.h"
#include "ui/PhoneTableModel.h"
#include "ui/QtDialogView.h"

class QHBoxLayout;
class QTreeView;

namespace pathmon {

class SaveReportPresenter;
class SaveReportView;

class MainDialog;
class PhoneWindow;

// The table and the nested dialogs of the main window, over Qt widgets.
class QtMainView final : public QtDialogView<MainView> {
 public:
  QtMainView(MainDialog& dialog, QTreeView& list, PhoneTableModel& model,
             DiscoveryAccess& discovery);

  int ListRowCount() override;
  LoopTest* ListRowTest(int row) override;
  void ListDeleteAllRows() override;
  bool ListInsertRow(int row, const std::string& text, LoopTest* test) override;
  void ListSetText(int row, int column, const std::string& text) override;
  void ListSetBand(int row, Band band, const std::string& toolTip) override;
  int ListNextSelected(int after) override;
  void ListReorder(const std::vector<int>& order) override;
  void ListSetSortIndicator(int column, bool largestFirst) override;
  void RunAddPhonesDialog() override;
  void ShowAboutDialog() override;

 private:
  QTreeView& list_;
  PhoneTableModel& model_;
  DiscoveryAccess& discovery_;
};

class MainDialog : public QDialog {
  Q_OBJECT

 public:
  MainDialog(MainBackend& backend, DiscoveryAccess& discovery, const ProgramSettings& settings,
             QWidget* parent = nullptr);
  ~MainDialog() override;

  int exec() override;
  void accept() override;  // Enter
  void reject() override;  // Esc and the close box

  QTreeView* List() const { return list_; }
  MainPresenter& Presenter() { return *presenter_; }
  PhoneTableModel* Model() const { return model_; }
  // The selected rows as tab-separated text with the headers, as Copy puts on the clipboard.
  QString SelectedRowsText() const;
  // Opens the row's phone window, or brings it to the front when it is open; nullptr for a
  // row without a test.
  PhoneWindow* OpenPhoneWindow(int row);

 protected:
  void changeEvent(QEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void CopySelectedRows();
  void SetColumnWidths();
  // The size that shows every column and the commands within room, the column widths fitted
  // to it.
  QSize DefaultSize(QSize room);
  void RestoreSettings();
  void SaveSettings() const;

  MainBackend& backend_;
  QTreeView* list_ = nullptr;
  PhoneTableModel* model_ = nullptr;
  std::map<std::string, QPointer<PhoneWindow>> phoneWindows_;  // by serial number
  std::unique_ptr<QtMainView> view_;
  std::unique_ptr<MainPresenter> presenter_;
  std::unique_ptr<SaveReportView> reportView_;
  std::unique_ptr<SaveReportPresenter> reportPresenter_;
  bool closing_ = false;
  QHBoxLayout* listRow_ = nullptr;  // the list and the commands beside it
  std::vector<int> nominalWidths_, leastWidths_;  // by column, pixels
};

}  // namespace pathmon
