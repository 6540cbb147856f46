#pragma once
// The history file of a phone: every cycle result of every test, one time-stamped line each,
// appended to "<userName>_<serialNumber>.txt" in the current directory. Core code: no Qt.

#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <string_view>

#include "transport/FileWrite.h"

namespace pathmon {

class LoopTest;
struct PhoneEntry;

// Finds a phone's entry by serial number; false (entry untouched) when none matches.
using PhoneLookup = std::function<bool(const char* serialNumber, PhoneEntry& entry)>;
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

// Appends text and CR LF to path with AppendToFile: never through a symlink, only to a
// regular file, a line cut by a full disk taken back. False with reason otherwise.
bool AppendLine(const std::string& path, std::string_view text, std::string& reason);

std::tm LocalTimeNow();

// The ResultCallback that writes history lines. Only event 2 (cycle result) writes: the
// stamp, then LoopTest::FormatResult. Called on the test's thread with the test's lock held;
// it takes the directory lock inside (through lookup), never the other way round. A line
// that cannot be written is lost and reported to failures (the test goes on; the next
// cycle tries again).
class HistoryWriter {
 public:
  HistoryWriter(PhoneLookup lookup, std::string directory, LocalTimeSource now,
                WriteFailures& failures = FileWriteFailures());
  int32_t operator()(LoopTest& test, int32_t value, int32_t event) const;

 private:
  PhoneLookup lookup_;
  std::string directory_;  // where the files lie; empty for the current directory
  LocalTimeSource now_;
  WriteFailures& failures_;
};

// The program's callback: the process-wide directory, the current directory, local time.
int32_t WriteHistoryLine(LoopTest& test, int32_t value, int32_t event);

}  // namespace pathmon
