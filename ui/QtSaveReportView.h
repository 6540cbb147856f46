// SPDX-License-Identifier: Apache-2.0
#pragma once
// The save-file dialog of "Save Report…" over the window the command came from.

#include <QFileDialog>
#include <QObject>
#include <QWidget>
#include <functional>
#include <string>

#include "frontend/SaveReportPresenter.h"

namespace pathmon {

// Contract: user-interface thread; window outlives the view. show: the window's warning box.
class QtSaveReportView final : public SaveReportView {
 public:
  QtSaveReportView(QWidget& window, std::function<void(const std::string&)> show)
      : window_(window), show_(std::move(show)) {}
  std::string AskReportPath(const std::string& suggested) override {
    const QString path = QFileDialog::getSaveFileName(
        &window_, QObject::tr("Save Report"), QString::fromStdString(suggested),
        QObject::tr("HTML files (*.html)"));
    return path.toLocal8Bit().toStdString();
  }
  void ShowMessage(const std::string& text) override { show_(text); }

 private:
  QWidget& window_;
  std::function<void(const std::string&)> show_;
};

}  // namespace pathmon
