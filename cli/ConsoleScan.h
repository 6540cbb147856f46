// SPDX-License-Identifier: Apache-2.0
#pragma once
// The add-phones dialog on a terminal: its own logic (AddPhonesPresenter) drives the scan of
// one range; the controls become a progress line, the message boxes lines on the error
// stream, and the dialog's 2-second timer a wait that a signal can cut short.

#include <functional>
#include <map>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "cli/CliOptions.h"
#include "frontend/AddPhonesPresenter.h"
#include "frontend/DialogView.h"

namespace pathmon::cli {

// Contract: one thread, like the dialog it stands for.
class ConsoleScanView final : public DialogView {
 public:
  ConsoleScanView() = default;

  void EndDialog(int result) override { result_ = result; }
  std::string GetControlText(int id) override { return texts_[id]; }
  void SetControlText(int id, const std::string& text) override { texts_[id] = text; }
  void SetProgressRange(int16_t, int16_t) override {}
  void SetProgressPos(int) override {}
  void EnableControl(int, bool) override {}
  void FocusControl(int) override {}
  void StartTimer(int id, int intervalMs) override { timers_[id] = intervalMs; }
  void KillTimer(int id) override { timers_.erase(id); }
  void BeginWaitCursor() override {}
  void EndWaitCursor() override {}
  // Kept until the caller prints it (after the progress line it belongs behind).
  void ShowMessage(const std::string& text) override { messages_.push_back(text); }

  int Result() const { return result_; }  // 0 while the dialog is open
  // The interval of the one running timer, or 0.
  int TimerInterval() const { return timers_.empty() ? 0 : timers_.begin()->second; }
  std::vector<std::string> TakeMessages() { return std::exchange(messages_, {}); }

 private:
  std::map<int, std::string> texts_;
  std::map<int, int> timers_;
  std::vector<std::string> messages_;
  int result_ = 0;
};

// "Scanning 10.0.0.1-10.0.0.9: 7 scanned, 2 remaining, 3 phones found"
std::string ScanProgressLine(const AddressRange& range, const std::string& scanned,
                             const std::string& remaining, const std::string& discovered);

// Waits up to ms milliseconds; true when the run was interrupted meanwhile.
using InterruptibleWait = std::function<bool(int ms)>;

enum class ScanEnd {
  kFoundNew,     // the dialog would end with OK
  kNothingNew,   // ended with one of its two messages
  kRefused,      // the range was refused (its message shown)
  kInterrupted,  // a signal came while the scan ran; the started probes end on their own
};

// One range through the add-phones dialog's logic. On a terminal the progress line is
// rewritten in place; otherwise a line is appended per tick.
ScanEnd RunConsoleScan(DiscoveryAccess& discovery, const AddressRange& range,
                       const InterruptibleWait& wait, std::ostream& out, std::ostream& err,
                       bool terminal);

}  // namespace pathmon::cli
