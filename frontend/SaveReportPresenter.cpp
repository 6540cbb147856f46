// SPDX-License-Identifier: Apache-2.0
#include "frontend/SaveReportPresenter.h"

#include <cstdio>
#include <ctime>
#include <vector>

#include "Version.h"
#include "engine/HistoryFile.h"
#include "frontend/Fleet.h"
#include "frontend/SharedInterruptions.h"
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
  for (const FleetPhone& phone : FleetSnapshot(backend_)) {
    PhoneReport p;
    p.entry = phone.entry;
    if (!phone.listed) {
      std::snprintf(p.entry.serialNumber, sizeof p.entry.serialNumber, "%s", phone.serial.c_str());
    }
    const TestSnapshot snapshot = backend_.Snapshot(*phone.test);
    p.cycles = recorder_->Cycles(phone.serial);
    p.endReason = snapshot.end;
    p.selected = snapshot.running || snapshot.end != TestEnd::kNone || !p.cycles.empty();
    p.state = snapshot.running ? "running" : p.selected ? "finished" : "not-started";
    p.stage = snapshot.running ? TestStage::kUnfinished
              : p.selected     ? TestStage::kEnded
                               : TestStage::kNotTested;
    p.historyFile = HistoryFileName(p.entry.userName, phone.serial);
    if (!p.selected) p.notTestedReason = "not started in this session";
    p.site = shared_ != nullptr ? shared_->SiteOf(phone.Identity()) : NetworkSite(phone.Identity());
    report.phones.push_back(std::move(p));
  }
  if (shared_ != nullptr) report.shared = shared_->Decided();
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
