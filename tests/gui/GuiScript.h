// SPDX-License-Identifier: Apache-2.0
#pragma once
// Drives the real program's dialogs from inside their own event loops: a timer polls the
// current step until it reports done or its time runs out. Actions that open a nested modal
// dialog or block (a button's click) are queued, so a step never waits inside another.

#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QMetaObject>
#include <QPushButton>
#include <QTimer>
#include <QAbstractItemModel>
#include <QItemSelectionModel>
#include <QTreeView>
#include <functional>
#include <string>
#include <vector>

namespace pathmon::testing {

class GuiScript {
 public:
  // poll returns true when the step is done; it is called every 25 ms until then.
  void Then(std::string name, std::function<bool()> poll, int timeoutMs = 30000) {
    steps_.push_back({std::move(name), std::move(poll), timeoutMs});
  }

  void Start() {
    QObject::connect(&timer_, &QTimer::timeout, [this] { Tick(); });
    timer_.start(25);
  }
  bool Finished() const { return index_ == steps_.size(); }
  bool Failed() const { return failed_; }

 private:
  struct Step {
    std::string name;
    std::function<bool()> poll;
    int timeoutMs;
  };

  void Tick() {
    if (failed_) {
      // Wind the program down: every modal dialog is asked to close until Run returns.
      if (QWidget* modal = QApplication::activeModalWidget()) {
        QMetaObject::invokeMethod(modal, "reject", Qt::QueuedConnection);
      }
      return;
    }
    if (busy_ || Finished()) return;
    busy_ = true;
    if (!stepStarted_) {
      clock_.start();
      stepStarted_ = true;
    }
    const Step& step = steps_[index_];
    if (step.poll()) {
      ++index_;
      stepStarted_ = false;
    } else if (clock_.elapsed() > step.timeoutMs) {
      ADD_FAILURE() << "step '" << step.name << "' did not complete within " << step.timeoutMs
                    << " ms";
      failed_ = true;
    } else if (::testing::Test::HasFatalFailure()) {
      failed_ = true;
    }
    busy_ = false;
  }

  std::vector<Step> steps_;
  std::size_t index_ = 0;
  bool stepStarted_ = false;
  bool busy_ = false;
  bool failed_ = false;
  QTimer timer_;
  QElapsedTimer clock_;
};

// The active modal dialog if it has this object name.
inline QWidget* Modal(const char* name) {
  QWidget* w = QApplication::activeModalWidget();
  return (w != nullptr && w->objectName() == name) ? w : nullptr;
}

// Clicks a button of the dialog after the current step has returned.
inline void QueueClick(QWidget* dialog, const char* button) {
  auto* b = dialog->findChild<QPushButton*>(button);
  ASSERT_NE(b, nullptr) << button;
  QMetaObject::invokeMethod(b, "click", Qt::QueuedConnection);
}

inline int RowCount(QTreeView* list) { return list->model()->rowCount(); }

inline QString Cell(QTreeView* list, int row, int column) {
  return list->model()->index(row, column).data().toString();
}

inline int RowOfSerial(QTreeView* list, const QString& serial) {
  for (int i = 0; i < RowCount(list); ++i) {
    if (Cell(list, i, 1) == serial) return i;
  }
  return -1;
}

inline QString Status(QTreeView* list, const QString& serial) {
  int row = RowOfSerial(list, serial);
  return row < 0 ? QString() : Cell(list, row, 2);
}

// Makes the row the current and only selected one, as a click on it does.
inline void SelectSerial(QTreeView* list, const QString& serial) {
  int row = RowOfSerial(list, serial);
  ASSERT_GE(row, 0) << serial.toStdString();
  list->selectionModel()->setCurrentIndex(
      list->model()->index(row, 0),
      QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
}

}  // namespace pathmon::testing
