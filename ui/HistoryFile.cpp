#include "ui/HistoryFile.h"

#include <cstdio>
#include <cstring>

#include "discovery/PhoneListMgr.h"
#include "looptest/LoopTest.h"
#include "transport/FileWrite.h"
#include "ui/PhoneText.h"

namespace pathmon {

std::string SafeFileName(std::string name) {
  name = ReplaceControlCharacters(name, "_");
  for (char& c : name) {
    if (c == '\\' || c == '/') {
      c = '_';
    }
  }
  // A leading dot would hide the file, and "." or ".." would name a folder.
  if (name.empty()) {
    name = "_";
  } else if (name.front() == '.') {
    name.front() = '_';
  }
  return name;
}

std::string HistoryFileName(std::string_view userName, std::string_view serialNumber) {
  std::string name(userName);
  name += '_';
  name += serialNumber;
  name += ".txt";
  return SafeFileName(std::move(name));
}

std::string LogFileName(std::string_view userName, std::string_view serialNumber) {
  std::string name(userName);
  name += '_';
  name += serialNumber;
  name += "_log.txt";
  return SafeFileName(std::move(name));
}

std::string FormatHistoryStamp(const std::tm& local) {
  char stamp[80];
  std::snprintf(stamp, sizeof stamp, "%02d:%02d:%02d %02d:%02d:%02d <PATHMON>", local.tm_mon + 1,
                local.tm_mday, local.tm_year + 1900, local.tm_hour, local.tm_min, local.tm_sec);
  return stamp;
}

bool AppendLine(const std::string& path, std::string_view text, std::string& reason) {
  std::string line(text);
  line += "\r\n";
  return AppendToFile(path, line, reason);
}

std::tm LocalTimeNow() {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return local;
}

HistoryWriter::HistoryWriter(PhoneLookup lookup, std::string directory, LocalTimeSource now,
                             WriteFailures& failures)
    : lookup_(std::move(lookup)),
      directory_(std::move(directory)),
      now_(std::move(now)),
      failures_(failures) {}

int32_t HistoryWriter::operator()(LoopTest& test, int32_t /*value*/, int32_t event) const {
  if (event != kEventCycleResult) {
    return 0;
  }
  PhoneEntry entry;
  std::memset(&entry, 0, sizeof entry);
  lookup_(test.SerialNumber(), entry);
  entry.userName[sizeof entry.userName - 1] = '\0';
  std::string name = HistoryFileName(entry.userName, test.SerialNumber());

  std::string line = FormatHistoryStamp(now_());
  char result[256];
  test.Lock();  // held by the caller already; recursive, and keeps this safe on its own
  test.FormatResult(result, sizeof result);
  test.Unlock();
  line += result;

  std::string path = directory_.empty() ? name : directory_ + "/" + name;
  std::string reason;
  if (!AppendLine(path, line, reason)) failures_.Report(path, reason);
  return 0;
}

int32_t WriteHistoryLine(LoopTest& test, int32_t value, int32_t event) {
  static const HistoryWriter writer(
      [](const char* serial, PhoneEntry& entry) { return FindPhoneBySerial(serial, entry); }, "",
      LocalTimeNow);
  return writer(test, value, event);
}

}  // namespace pathmon
