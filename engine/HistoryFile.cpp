#include "engine/HistoryFile.h"

#include <cstdio>
#include <cstring>

#include "engine/PhoneText.h"

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

bool AppendLine(const std::string& path, std::string_view text) {
  std::FILE* file = std::fopen(path.c_str(), "ab");
  if (file == nullptr) {
    return false;
  }
  std::string line(text);
  line += "\r\n";
  bool written = std::fwrite(line.data(), 1, line.size(), file) == line.size();
  bool closed = std::fclose(file) == 0;
  return written && closed;
}

std::tm LocalTimeNow() {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return local;
}

HistoryWriter::HistoryWriter(std::string directory, LocalTimeSource now)
    : directory_(std::move(directory)), now_(std::move(now)) {}

bool HistoryWriter::WriteHistoryLine(const CycleResult& result) const {
  std::string name = HistoryFileName(result.phone.userName, result.phone.serialNumber);
  std::string line = FormatHistoryStamp(now_());
  char figures[256];
  FormatResult(result.stats, figures, sizeof figures);
  line += figures;
  std::string path = directory_.empty() ? name : directory_ + "/" + name;
  return AppendLine(path, line);
}

}  // namespace pathmon
