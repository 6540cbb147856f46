// SPDX-License-Identifier: Apache-2.0
#include "ui/MessageBox.h"

#include <QMessageBox>

#include "frontend/Messages.h"

namespace pathmon {

namespace {

MessageHook& Hook() {
  static MessageHook hook;
  return hook;
}

}  // namespace

void SetMessageHook(MessageHook hook) { Hook() = std::move(hook); }

void ShowWarning(QWidget* parent, const QString& text) {
  if (Hook()) {
    Hook()(parent, text);
    return;
  }
  QMessageBox box(QMessageBox::Warning, QString::fromUtf8(kAppTitle), text, QMessageBox::Ok,
                  parent);
  box.exec();
}

}  // namespace pathmon
