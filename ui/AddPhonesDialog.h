// SPDX-License-Identifier: Apache-2.0
#pragma once
// The add-phones dialog: an address range, the scan's progress and counts. The logic is
// AddPhonesPresenter's; this is its Qt view.

#include <QDialog>
#include <memory>

#include "frontend/AddPhonesPresenter.h"
#include "ui/QtDialogView.h"

class QPushButton;

namespace pathmon {

class AddPhonesDialog : public QDialog {
  Q_OBJECT

 public:
  explicit AddPhonesDialog(DiscoveryAccess& discovery, QWidget* parent = nullptr);
  ~AddPhonesDialog() override;

  int exec() override;
  void reject() override;  // Esc: only while Close is enabled

 private:
  QtDialogView<DialogView> view_;
  AddPhonesPresenter presenter_;
  QPushButton* close_ = nullptr;
};

}  // namespace pathmon
