// SPDX-License-Identifier: Apache-2.0
#pragma once
// What a dialog's logic needs from the window system, and nothing more. The presenters are
// written against this interface; the desktop program implements it with Qt widgets, the
// tests with a recorder, so the dialogs' rules run without a display.

#include <cstdint>
#include <string>

namespace pathmon {

// Dialog results and the ids of the standard buttons.
inline constexpr int kResultOk = 1;
inline constexpr int kResultCancel = 2;

// Contract: every call is made on the user-interface thread. ShowMessage blocks until the
// user has dismissed the box (a modal warning box with one OK button and kAppTitle as its
// caption).
class DialogView {
 public:
  virtual ~DialogView() = default;

  virtual void EndDialog(int result) = 0;
  virtual std::string GetControlText(int id) = 0;
  virtual void SetControlText(int id, const std::string& text) = 0;
  virtual void SetProgressRange(int16_t minimum, int16_t maximum) = 0;
  virtual void SetProgressPos(int position) = 0;
  virtual void EnableControl(int id, bool enable) = 0;
  // Gives the control the focus with its whole text selected.
  virtual void FocusControl(int id) = 0;
  // Ticks arrive through the presenter's OnTimer(id) every intervalMs until KillTimer.
  virtual void StartTimer(int id, int intervalMs) = 0;
  virtual void KillTimer(int id) = 0;
  virtual void BeginWaitCursor() = 0;
  virtual void EndWaitCursor() = 0;
  virtual void ShowMessage(const std::string& text) = 0;
};

}  // namespace pathmon
