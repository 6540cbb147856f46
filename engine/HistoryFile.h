// SPDX-License-Identifier: Apache-2.0
#pragma once
// The history file of a phone: every cycle result of every test, one time-stamped line each,
// appended to "<userName>_<serialNumber>.txt" in the current directory. Core code: no Qt.

#include <cstdint>
#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "looptest/LoopTest.h"
#include "transport/FileWrite.h"

namespace pathmon {

// The local date and time at which a line is written.
using LocalTimeSource = std::function<std::tm()>;

// Replaces every control character (see ReplaceControlCharacters), every "\" and every "/"
// by "_", and a leading "." too, so that a name made from a phone's texts always names a
// visible file in its folder ("_" for an empty name) and prints as it will be listed.
std::string SafeFileName(std::string name);
// "%s_%s.txt" and "%s_%s_log.txt" from the user name and the serial number, made safe.
std::string HistoryFileName(std::string_view userName, std::string_view serialNumber);
std::string LogFileName(std::string_view userName, std::string_view serialNumber);

// "%02d:%02d:%04d %02d:%02d:%02d <PATHMON>": month, day, year, hour, minute, second.
std::string FormatHistoryStamp(const std::tm& local);

// One line of a history file: when it was written and the figures it carries.
struct HistoryLine {
  std::tm local{};  // the stamp; tm_isdst -1, as the stamp says nothing of summer time
  // INTERRUPTIONS, MAXBURSTLOST, SEND, LOST, DELAYED, AVGRTT and MAXRTT; the rest 0.
  TestStatistics stats;
};
// The stamp, then FormatResult of the figures: a history file's line, without its CR LF.
std::string FormatHistoryLine(const std::tm& local, const TestStatistics& stats);
// A line as FormatHistoryLine writes it (its CR LF already taken off); nothing for a line of
// any other form, one cut before its last figure among them.
std::optional<HistoryLine> ParseHistoryLine(const std::string& line);

// Appends text and CR LF to path with AppendToFile: never through a symlink, only to a
// regular file, a line cut by a full disk taken back. False with reason otherwise.
bool AppendLine(const std::string& path, std::string_view text, std::string& reason);

std::tm LocalTimeNow();

// The observer that writes history lines: every cycle result, as FormatHistoryLine of the
// cycle's figures, to the file named by the user name and serial number
// the test started with. Called on the tests' threads without any lock held; it keeps no
// state but the failures' record, so tests may call it at once. A line that cannot be
// written is lost and reported to failures (the test goes on; the next cycle tries again).
class HistoryWriter final : public TestObserver {
 public:
  // directory: where the files lie; empty for the current directory.
  HistoryWriter(std::string directory, LocalTimeSource now, WriteFailures& failures);

  void OnCycleResult(const CycleResult& result) override { WriteHistoryLine(result); }
  bool WriteHistoryLine(const CycleResult& result) const;  // false when nothing was written

 private:
  std::string directory_;
  LocalTimeSource now_;
  WriteFailures& failures_;
};

}  // namespace pathmon
