// SPDX-License-Identifier: Apache-2.0
#include "cli/EventLines.h"

#include <ctime>
#include <utility>

#include "cli/ResultTable.h"
#include "frontend/Verdict.h"

namespace pathmon::cli {

std::string LocalClockText(int64_t wallSeconds) {
  std::time_t t = static_cast<std::time_t>(wallSeconds);
  std::tm local{};
  localtime_r(&t, &local);
  char text[16];
  std::strftime(text, sizeof text, "%H:%M:%S", &local);
  return text;
}

void EventLines::OnStarted(const TestStarted& event) {
  Add(event.wallSeconds, event.phone, "test started");
}

void EventLines::OnCycleResult(const CycleResult& event) {
  char text[160];
  FormatResult(event.stats, text, sizeof text);
  Add(event.wallSeconds, event.phone,
      std::string("cycle result ") + text +
          (CycleUsable(CycleRecord{event.wallSeconds, event.stats, event.voice}, minMos_)
               ? ""
               : " (not usable)"));
}

void EventLines::OnFinished(const TestFinished& event) {
  Add(event.wallSeconds, event.phone, std::string("test finished: ") + TestEndName(event.reason));
}

void EventLines::Add(int64_t wallSeconds, const TestIdentity& phone, const std::string& what) {
  std::lock_guard lock(mutex_);
  new_.push_back(LocalClockText(wallSeconds) + "  " + PrintableText(phone.userName) + ":" +
                 PrintableText(phone.serialNumber) + "  " + what);
}

std::vector<std::string> EventLines::Take() {
  std::lock_guard lock(mutex_);
  for (const std::string& line : new_) recent_.push_back(line);
  while (recent_.size() > kRecentEventLines) recent_.pop_front();
  return std::exchange(new_, {});
}

std::vector<std::string> EventLines::Recent() {
  std::lock_guard lock(mutex_);
  return {recent_.begin(), recent_.end()};
}

}  // namespace pathmon::cli
