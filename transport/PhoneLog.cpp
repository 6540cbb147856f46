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

// Writes the rows as "%03d %s" lines ending in CR LF, numbering on from *lineNumber.
void WriteRows(std::FILE* file, RowTable& table, int32_t* lineNumber) {
  for (int32_t i = 0; i < table.count; ++i) {
    char* row = table.rows[i];
    for (char* c = row; *c != '\0'; ++c) {
      if (*c == '\r' || *c == '\n') *c = ' ';
    }
    std::fprintf(file, "%03d %s\r\n", *lineNumber, row);
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

bool GetPhoneLog(SnmpClient& client, const char* agent, const char* community,
                 const char* fileName, FileOpener& opener) {
  RowTable first;
  RowTable second;
  SnmpGetRows(client, agent, community, kFirstLogColumn, kRowsPerColumn, &first.count,
              first.rows);
  SnmpGetRows(client, agent, community, kSecondLogColumn, kRowsPerColumn, &second.count,
              second.rows);
  if (first.count == 0 && second.count == 0) return false;

  // Binary mode: the CR LF line ends are written as they are meant to be on every platform.
  std::FILE* file = fileName != nullptr ? std::fopen(fileName, "wb") : nullptr;
  if (file == nullptr) return true;
  int32_t lineNumber = 1;
  WriteRows(file, first, &lineNumber);
  WriteRows(file, second, &lineNumber);
  std::fclose(file);
  opener.Open(fileName);
  return true;
}

}  // namespace pathmon
