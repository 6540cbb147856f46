// SPDX-License-Identifier: Apache-2.0
#pragma once
// The DialogView operations over a QDialog, shared by the program's dialogs. Controls are
// bound to the ids the presenters use; line edits and labels carry text, one progress bar
// takes the range and position.

#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QTimer>
#include <functional>
#include <map>

#include "frontend/DialogView.h"
#include "ui/MessageBox.h"

namespace pathmon {

template <class ViewInterface>
class QtDialogView : public ViewInterface {
 public:
  explicit QtDialogView(QDialog& dialog) : dialog_(dialog) {}
  ~QtDialogView() override {
    while (waitCursors_ > 0) EndWaitCursor();
  }

  void Bind(int id, QWidget* widget) { controls_[id] = widget; }
  void BindProgress(QProgressBar* bar) { progress_ = bar; }
  void SetTimerHandler(std::function<void(int)> handler) { onTimer_ = std::move(handler); }

  void EndDialog(int result) override {
    for (auto& [id, timer] : timers_) timer->stop();
    dialog_.QDialog::done(result);
  }
  std::string GetControlText(int id) override {
    QWidget* w = Control(id);
    if (auto* edit = qobject_cast<QLineEdit*>(w)) return edit->text().toStdString();
    if (auto* label = qobject_cast<QLabel*>(w)) return label->text().toStdString();
    if (auto* combo = qobject_cast<QComboBox*>(w)) return combo->currentText().toStdString();
    return {};
  }
  void SetControlText(int id, const std::string& text) override {
    QString value = QString::fromStdString(text);
    QWidget* w = Control(id);
    if (auto* edit = qobject_cast<QLineEdit*>(w)) {
      if (edit->text() != value) edit->setText(value);
    } else if (auto* label = qobject_cast<QLabel*>(w)) {
      if (label->text() != value) label->setText(value);
    } else if (auto* combo = qobject_cast<QComboBox*>(w)) {
      if (combo->currentText() != value) combo->setCurrentText(value);
    }
  }
  void SetProgressRange(int16_t minimum, int16_t maximum) override {
    // A range of one address has maximum 0 below minimum 1: the bar shows it as full.
    if (progress_ != nullptr) progress_->setRange(minimum, maximum < minimum ? minimum : maximum);
  }
  void SetProgressPos(int position) override {
    if (progress_ != nullptr) progress_->setValue(position);
  }
  void EnableControl(int id, bool enable) override {
    if (QWidget* w = Control(id)) w->setEnabled(enable);
  }
  void FocusControl(int id) override {
    QWidget* w = Control(id);
    if (w == nullptr) return;
    w->setFocus(Qt::OtherFocusReason);
    if (auto* edit = qobject_cast<QLineEdit*>(w)) edit->selectAll();
    if (auto* combo = qobject_cast<QComboBox*>(w); combo != nullptr && combo->lineEdit()) {
      combo->lineEdit()->selectAll();
    }
  }
  void StartTimer(int id, int intervalMs) override {
    QTimer*& timer = timers_[id];
    if (timer == nullptr) {
      timer = new QTimer(&dialog_);
      QObject::connect(timer, &QTimer::timeout, &dialog_, [this, id] {
        if (onTimer_) onTimer_(id);
      });
    }
    timer->start(intervalMs);
  }
  void KillTimer(int id) override {
    auto it = timers_.find(id);
    if (it != timers_.end()) it->second->stop();
  }
  void BeginWaitCursor() override {
    QApplication::setOverrideCursor(Qt::WaitCursor);
    ++waitCursors_;
  }
  void EndWaitCursor() override {
    if (waitCursors_ > 0) {
      QApplication::restoreOverrideCursor();
      --waitCursors_;
    }
  }
  void ShowMessage(const std::string& text) override {
    // A box shown in the middle of a command gets the normal cursor back while it is open.
    if (waitCursors_ > 0) QApplication::setOverrideCursor(Qt::ArrowCursor);
    ShowWarning(&dialog_, QString::fromStdString(text));
    if (waitCursors_ > 0) QApplication::restoreOverrideCursor();
  }

 protected:
  QWidget* Control(int id) {
    auto it = controls_.find(id);
    return it == controls_.end() ? nullptr : it->second;
  }
  QDialog& dialog_;

 private:
  std::map<int, QWidget*> controls_;
  std::map<int, QTimer*> timers_;
  QProgressBar* progress_ = nullptr;
  std::function<void(int)> onTimer_;
  int waitCursors_ = 0;
};

}  // namespace pathmon
