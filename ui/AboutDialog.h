// SPDX-License-Identifier: Apache-2.0
#pragma once
// "About PathmonResponder": the icon, the version line and OK. No logic.

#include <QDialog>

namespace pathmon {

class AboutDialog : public QDialog {
  Q_OBJECT

 public:
  explicit AboutDialog(QWidget* parent = nullptr);
};

}  // namespace pathmon
