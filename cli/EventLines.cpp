// SPDX-License-Identifier: Apache-2.0
#include "cli/EventLines.h"

#include <algorithm>
#include <ctime>
#include <utility>

#include "cli/ResultTable.h"
#include "frontend/Verdict.h"

namespace pathmon::cli {

LiveOutput LiveOutputFor(Verbosity verbosity, bool terminal) {
  if (verbosity == Verbosity::kQuiet) return LiveOutput::kNothing;
  return terminal ? LiveOutput::kTable : LiveOutput::kLines;
}

std::string LocalClockText(int64_t wallSeconds) {
  std::time_t t = static_cast<std::time_t>(wallSeconds);
  std::tm local{};
  localtime_r(&t, &local);
  char text[16];
  std::strftime(text, sizeof text, "%H:%M:%S", &local);
  return text;
}

void EventLines::OnStarted(const TestStarted& event) {
  Add(event.wallSeconds, event.phone.userName, event.phone.serialNumber, "test started");
}

void EventLines::OnCycleResult(const CycleResult& event) {
  char text[160];
  FormatResult(event.stats, text, sizeof text);
  Add(event.wallSeconds, event.phone.userName, event.phone.serialNumber,
      std::string("cycle result ") + text +
          (CycleUsable(CycleRecord{event.wallSeconds, event.stats, event.voice}, minMos_)
               ? ""
               : " (not usable)"));
}

void EventLines::OnFinished(const TestFinished& event) {
  Add(event.wallSeconds, event.phone.userName, event.phone.serialNumber,
      std::string("test finished: ") + TestEndName(event.reason));
}

void EventLines::NoteSilence(const std::string& userName, const std::string& serialNumber,
                             const TestSnapshot& snapshot, int64_t wallSeconds) {
  std::string what;
  {
    std::lock_guard lock(mutex_);
    const std::string silence = EchoSilenceText(snapshot);
    auto silent = silentMs_.find(serialNumber);
    if (!silence.empty()) {
      if (silent == silentMs_.end()) {
        silentMs_.emplace(serialNumber, snapshot.echoSilenceMs);
        what = silence;
      } else {
        silent->second = std::max(silent->second, snapshot.echoSilenceMs);
      }
    } else if (silent != silentMs_.end()) {
      // A test that is ending (its end set while it still delivers its last result) has no
      // silence any more either.
      const bool ended = !snapshot.running || snapshot.end != TestEnd::kNone;
      const std::string seconds = std::to_string(silent->second / 1000) + " s";
      what = ended ? "no echo until the test ended (" + seconds + ")"
                   : "echoes again after " + seconds + " of silence";
      silentMs_.erase(silent);
    }
  }
  if (!what.empty()) Add(wallSeconds, userName, serialNumber, what);
}

void EventLines::Add(int64_t wallSeconds, const std::string& userName,
                     const std::string& serialNumber, const std::string& what) {
  std::lock_guard lock(mutex_);
  new_.push_back(LocalClockText(wallSeconds) + "  " + PrintableText(userName) + ":" +
                 PrintableText(serialNumber) + "  " + what);
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

void PrintEventLines(EventLines& lines, std::ostream& out) {
  const std::vector<std::string> taken = lines.Take();
  if (taken.empty()) return;
  for (const std::string& line : taken) out << line << '\n';
  out << std::flush;
}

}  // namespace pathmon::cli
