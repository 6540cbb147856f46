// SPDX-License-Identifier: Apache-2.0
#pragma once
// The community and duration dialog, the first window of the program. The logic is
// CommunityPresenter's; this is its Qt view.

#include <QDialog>
#include <functional>

#include "frontend/CommunityPresenter.h"
#include "ui/QtDialogView.h"

namespace pathmon {

class CommunityDialog : public QDialog {
  Q_OBJECT

 public:
  CommunityDialog(ProgramSettings& settings, std::function<void(const char*)> setCommunity,
                  QWidget* parent = nullptr);
  ~CommunityDialog() override;

  int exec() override;
  void accept() override;  // OK and Enter go through the presenter's checks

 private:
  QtDialogView<DialogView> view_;
  CommunityPresenter presenter_;
};

}  // namespace pathmon
