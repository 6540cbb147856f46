// SPDX-License-Identifier: Apache-2.0
#include "transport/PhoneLog.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "transport/DebugTrace.h"
#include "transport/FileWrite.h"
#include "transport/SnmpAccess.h"

extern char** environ;

namespace pathmon {

namespace {

constexpr const char* kFirstLogColumn = ".1.3.6.1.4.1.7431.2.69.1.3.4.1.1";
constexpr const char* kSecondLogColumn = ".1.3.6.1.4.1.7431.2.69.1.3.5.1.1";
constexpr int32_t kRowsPerColumn = 75;
constexpr int kRowTableSize = 256;

// The rows of one column, freed whatever path the call takes.
struct RowTable {
  char* rows[kRowTableSize] = {};
  int32_t count = 0;

  RowTable() = default;
  RowTable(const RowTable&) = delete;
  RowTable& operator=(const RowTable&) = delete;
  ~RowTable() {
    for (char* row : rows) delete[] row;
  }
};

// Adds the rows as "%03d %s" lines ending in CR LF, numbering on from *lineNumber.
void AddRows(std::string& text, RowTable& table, int32_t* lineNumber) {
  for (int32_t i = 0; i < table.count; ++i) {
    char* row = table.rows[i];
    for (char* c = row; *c != '\0'; ++c) {
      if (*c == '\r' || *c == '\n') *c = ' ';
    }
    char number[16];
    std::snprintf(number, sizeof number, "%03d ", *lineNumber);
    text += number;
    text += row;
    text += "\r\n";
    ++*lineNumber;
  }
}

// The first executable "name" along PATH, or empty. An empty PATH entry is the current
// directory.
std::string FindOnPath(const char* name) {
  const char* path = std::getenv("PATH");
  const std::string_view dirs = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
  std::size_t begin = 0;
  while (begin <= dirs.size()) {
    std::size_t end = dirs.find(':', begin);
    if (end == std::string_view::npos) end = dirs.size();
    const std::string_view dir = dirs.substr(begin, end - begin);
    std::string candidate(dir.empty() ? std::string_view(".") : dir);
    candidate += '/';
    candidate += name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
    begin = end + 1;
  }
  return {};
}

}  // namespace

void XdgFileOpener::Open(const std::string& path) {
  if (path.empty()) return;
  // An absolute path: xdg-open then never reads a name starting with "-" as an option,
  // and the viewer finds the file whatever its own working directory.
  std::string target = path;
  if (target[0] != '/') {
    char cwd[4096];
    if (getcwd(cwd, sizeof cwd) == nullptr) return;
    target = std::string(cwd) + "/" + target;
  }
  std::string program = FindOnPath("xdg-open");
  if (program.empty()) return;
  char* const argv[] = {program.data(), target.data(), nullptr};

  // Double fork: the grandchild runs xdg-open, re-parented to init, and the child we
  // wait for exits at once, so no zombie stays and nothing waits on the viewer. The
  // caller may have many threads: between fork and exec only async-signal-safe calls
  // are made, which is why the program's path was looked up before.
  const pid_t child = fork();
  if (child < 0) return;
  if (child == 0) {
    setsid();
    const int devNull = open("/dev/null", O_RDWR);
    if (devNull >= 0) {
      dup2(devNull, STDIN_FILENO);
      dup2(devNull, STDOUT_FILENO);
      dup2(devNull, STDERR_FILENO);
      if (devNull > STDERR_FILENO) close(devNull);
    }
    const pid_t grandchild = fork();
    if (grandchild == 0) {
      execve(argv[0], argv, environ);
      _exit(127);
    }
    _exit(grandchild < 0 ? 1 : 0);
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
}

namespace {

// Reads one column into table; what the file will not show goes to the trace and to the
// opener: rows beyond the 75 read (one more request tells) and rows cut at a zero byte.
// False when the walk was stopped.
bool ReadColumn(SnmpClient& client, const char* agent, const char* community,
                const char* prefix, const char* name, const char* fileName, RowTable& table,
                FileOpener& opener) {
  RowWalk walk;
  walk.stop = [&opener] { return opener.Interrupted(); };
  SnmpGetRows(client, agent, community, prefix, kRowsPerColumn, &table.count, table.rows, &walk);
  if (walk.stopped) return false;
  std::vector<std::string> notes;
  if (table.count == kRowsPerColumn) {
    char next[256];
    std::snprintf(next, sizeof next, "%s.%d.0", prefix, kRowsPerColumn + 1);
    const char* objects[] = {next, nullptr};
    uint8_t value[kSnmpSlotSize];
    uint32_t length = 0;
    if (client.SnmpGet(agent, community, objects, value, &length) == 1) {
      notes.push_back("the " + std::string(name) + " column has more than " +
                      std::to_string(kRowsPerColumn) + " rows; only the first " +
                      std::to_string(kRowsPerColumn) + " are kept");
    }
  }
  for (int32_t row : walk.cutRows) {
    notes.push_back("row " + std::to_string(row) + " of the " + name +
                    " column holds a zero byte; it is kept up to it");
  }
  for (const std::string& note : notes) {
    DebugTrace(__LINE__, "PhoneLog", nullptr, "Log of %s (%s): %s", agent,
               fileName != nullptr ? fileName : "", note.c_str());
    opener.Note(fileName != nullptr ? fileName : "", note);
  }
  return true;
}

}  // namespace

bool GetPhoneLog(SnmpClient& client, const char* agent, const char* community,
                 const char* fileName, FileOpener& opener, WriteFailures& failures) {
  RowTable first;
  RowTable second;
  if (!ReadColumn(client, agent, community, kFirstLogColumn, "first", fileName, first, opener) ||
      !ReadColumn(client, agent, community, kSecondLogColumn, "second", fileName, second,
                  opener)) {
    return false;  // interrupted: no file is touched
  }
  if (first.count == 0 && second.count == 0) return false;
  if (fileName == nullptr) return true;

  std::string text;
  int32_t lineNumber = 1;
  AddRows(text, first, &lineNumber);
  AddRows(text, second, &lineNumber);
  std::string reason;
  if (!ReplaceFile(fileName, text, reason)) {
    // Still true: the phone gave its log; the file's failure is told on its own.
    failures.Report(fileName, reason);
    return true;
  }
  opener.Open(fileName);
  return true;
}

}  // namespace pathmon
