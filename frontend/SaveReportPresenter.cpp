// SPDX-License-Identifier: Apache-2.0
#include "frontend/SaveReportPresenter.h"

#include <cstdio>
#include <ctime>
#include <vector>

#include "Version.h"
#include "discovery/PhoneListMgr.h"
#include "engine/HistoryFile.h"
#include "frontend/SiteReport.h"

namespace pathmon {

SaveReportPresenter::SaveReportPresenter(SaveReportView& view, MainBackend& backend,
                                         const ProgramSettings& settings,
                                         std::function<int64_t()> wallSeconds)
    : view_(view), backend_(backend), settings_(settings), wallSeconds_(std::move(wallSeconds)) {
  startedAt_ = wallSeconds_();
  backend_.AddObserver(recorder_);
}

RunReport SaveReportPresenter::SessionReport() {
  RunReport report;
  report.startedAt = startedAt_;
  report.endedAt = wallSeconds_();
  report.durationMinutes = settings_.durationMinutes;
  report.maxConcurrentTests = settings_.maxConcurrentTests;
  report.dscp = settings_.dscp;
  // Collected first: the visit holds the registry's lock, and a snapshot takes a test's.
  std::vector<LoopTest*> tests;
  backend_.ForEachLoopTest([&tests](int, LoopTest& test) { tests.push_back(&test); });
  for (LoopTest* test : tests) {
    PhoneReport p;
    const std::string serial = test->SerialNumber();
    if (!backend_.FindPhoneBySerial(serial.c_str(), p.entry)) {
      std::snprintf(p.entry.serialNumber, sizeof p.entry.serialNumber, "%s", serial.c_str());
    }
    const TestSnapshot snapshot = backend_.Snapshot(*test);
    p.cycles = recorder_->Cycles(serial);
    p.endReason = snapshot.end;
    p.selected = snapshot.running || snapshot.end != TestEnd::kNone || !p.cycles.empty();
    p.state = snapshot.running ? "running" : p.selected ? "finished" : "not-started";
    p.historyFile = HistoryFileName(p.entry.userName, serial);
    bool unusable = false;
    for (const CycleRecord& c : p.cycles) unusable = unusable || !CycleUsable(c, 0);
    if (!p.selected) {
      p.outcome = "not-tested";
      p.notTestedReason = "not started in this session";
    } else if (unusable) {
      p.outcome = "unusable";
    } else if (p.cycles.empty()) {
      p.outcome = snapshot.running ? "incomplete" : "no-result";
    } else if (snapshot.running || snapshot.end != TestEnd::kDuration) {
      p.outcome = "incomplete";
    } else {
      p.outcome = "usable";
    }
    report.phones.push_back(std::move(p));
  }
  return report;
}

void SaveReportPresenter::OnSaveReport(SaveReportView* from) {
  SaveReportView& view = from != nullptr ? *from : view_;
  const std::time_t now = static_cast<std::time_t>(wallSeconds_());
  std::tm local{};
  localtime_r(&now, &local);
  char suggested[64];
  std::strftime(suggested, sizeof suggested, "pathmon-report-%Y%m%d-%H%M.html", &local);
  const std::string path = view.AskReportPath(suggested);
  if (path.empty()) return;
  std::string error;
  if (!WriteFileAtomically(path, FormatSiteReport(SessionReport(), kVersion), error)) {
    view.ShowMessage(error);
  }
}

}  // namespace pathmon
