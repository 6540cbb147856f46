// SPDX-License-Identifier: Apache-2.0
#pragma once
// Every message of the program: a modal warning box with one OK button and the application
// title as caption. Tests install a hook that answers instead, so nothing waits for a user.

#include <QString>
#include <functional>

class QWidget;

namespace pathmon {

using MessageHook = std::function<void(QWidget* parent, const QString& text)>;

// Replaces the box with hook; an empty hook restores the box. User-interface thread only.
void SetMessageHook(MessageHook hook);

void ShowWarning(QWidget* parent, const QString& text);

}  // namespace pathmon
