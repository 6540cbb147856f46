#pragma once
// The main window: the phone list with its figures, the help texts and the five commands.
// The logic is MainPresenter's; this is its Qt view.

#include <QDialog>
#include <functional>

#include "frontend/AddPhonesPresenter.h"
#include "frontend/MainPresenter.h"
#include "ui/QtDialogView.h"

class QTreeWidget;

namespace pathmon {

class SaveReportPresenter;
class SaveReportView;

class MainDialog;

// The list and the nested dialogs of the main window, over Qt widgets.
class QtMainView final : public QtDialogView<MainView> {
 public:
  QtMainView(MainDialog& dialog, QTreeWidget& list, DiscoveryAccess& discovery);

  int ListRowCount() override;
  LoopTest* ListRowTest(int row) override;
  void ListDeleteAllRows() override;
  bool ListInsertRow(int row, const std::string& text, LoopTest* test) override;
  void ListSetText(int row, int column, const std::string& text) override;
  int ListNextSelected(int after) override;
  void ListReorder(const std::vector<int>& order) override;
  void RunAddPhonesDialog() override;
  void ShowAboutDialog() override;

 private:
  QTreeWidget& list_;
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

  QTreeWidget* List() const { return list_; }

 private:
  QTreeWidget* list_ = nullptr;
  std::unique_ptr<QtMainView> view_;
  std::unique_ptr<MainPresenter> presenter_;
  std::unique_ptr<SaveReportView> reportView_;
  std::unique_ptr<SaveReportPresenter> reportPresenter_;
  bool closing_ = false;
};

}  // namespace pathmon
