// SPDX-License-Identifier: Apache-2.0
#include "engine/HistoryFile.h"

#include <cstdio>
#include <cstring>

#include "engine/PhoneText.h"
#include "transport/FileWrite.h"

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

std::string FormatHistoryLine(const std::tm& local, const TestStatistics& stats) {
  char figures[256];
  FormatResult(stats, figures, sizeof figures);
  return FormatHistoryStamp(local) + figures;
}

std::optional<HistoryLine> ParseHistoryLine(const std::string& line) {
  HistoryLine parsed;
  std::tm& t = parsed.local;
  TestStatistics& s = parsed.stats;
  int consumed = 0;
  const int fields = std::sscanf(
      line.c_str(),
      "%2d:%2d:%4d %2d:%2d:%2d <PATHMON>INTERRUPTIONS: %d MAXBURSTLOST: %d SEND: %d LOST: %d "
      "DELAYED: %d AVGRTT: %d MAXRTT: %d%n",
      &t.tm_mon, &t.tm_mday, &t.tm_year, &t.tm_hour, &t.tm_min, &t.tm_sec, &s.interruptions,
      &s.maxBurstLost, &s.sent, &s.lost, &s.delayed, &s.avgRtt, &s.maxRtt, &consumed);
  if (fields != 13 || static_cast<std::size_t>(consumed) != line.size()) return std::nullopt;
  t.tm_mon -= 1;
  t.tm_year -= 1900;
  t.tm_isdst = -1;
  return parsed;
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

HistoryWriter::HistoryWriter(std::string directory, LocalTimeSource now, WriteFailures& failures)
    : directory_(std::move(directory)), now_(std::move(now)), failures_(failures) {}

bool HistoryWriter::WriteHistoryLine(const CycleResult& result) const {
  std::string name = HistoryFileName(result.phone.userName, result.phone.serialNumber);
  const std::string line = FormatHistoryLine(now_(), result.stats);
  std::string path = directory_.empty() ? name : directory_ + "/" + name;
  std::string reason;
  if (AppendLine(path, line, reason)) return true;
  failures_.Report(path, reason);
  return false;
}

}  // namespace pathmon
