// SPDX-License-Identifier: Apache-2.0
#pragma once
// "Save Report…" of the main window and of a phone's window: the session so far as a site
// report (SiteReport.h), the same page pathmon-cli --report writes. It records every cycle
// result from its creation on, so create it before any test starts.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "engine/Settings.h"
#include "frontend/Backend.h"
#include "frontend/RunReport.h"

namespace pathmon {

inline constexpr const char* kSaveReportMenuText = "Save &Report...";

class SharedInterruptions;

// What the command needs of the window.
class SaveReportView {
 public:
  virtual ~SaveReportView() = default;
  // A save-file dialog for HTML files, offering suggested; the chosen path, or empty when
  // cancelled.
  virtual std::string AskReportPath(const std::string& suggested) = 0;
  // A modal warning box (as DialogView::ShowMessage).
  virtual void ShowMessage(const std::string& text) = 0;
};

// Contract: user-interface thread, except that the recorder it adds to the backend is called
// on the tests' threads (CycleRecorder locks).
class SaveReportPresenter {
 public:
  // wallSeconds: the calendar clock, for the report's times.
  SaveReportPresenter(SaveReportView& view, MainBackend& backend,
                      const ProgramSettings& settings, std::function<int64_t()> wallSeconds);

  // The session's interruptions seen together and its phones' sites, for the report; it must
  // outlive the presenter. Without them every phone's site is its /24 network and none is
  // listed.
  void SetSharedInterruptions(const SharedInterruptions* shared) { shared_ = shared; }

  // Every phone of the registry with its cycle results so far. A test still running is
  // unfinished (incomplete, unless a cycle was already not usable); a phone never tested is
  // not tested.
  RunReport SessionReport();
  // Asks for the file and writes the page atomically; a failure is shown in a message box.
  // view: the window the command came from (a phone's window); the presenter's own when null.
  void OnSaveReport(SaveReportView* view = nullptr);

 private:
  SaveReportView& view_;
  MainBackend& backend_;
  const ProgramSettings& settings_;
  std::function<int64_t()> wallSeconds_;
  int64_t startedAt_ = 0;
  const SharedInterruptions* shared_ = nullptr;
  std::shared_ptr<CycleRecorder> recorder_ = std::make_shared<CycleRecorder>();
};

}  // namespace pathmon
