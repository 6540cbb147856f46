// SPDX-License-Identifier: Apache-2.0
#pragma once
// pathmon-cli (path in PATHMON_CLI_EXE) as a child process of a test, in a working
// directory of its own, its standard output and error going to files there.
//
// Contract: one thread drives an instance.

#include <sys/types.h>

#include <string>
#include <vector>

namespace pathmon::testing {

// A fresh empty directory under /tmp, removed with its files at destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& Path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }
  std::vector<std::string> Names() const;  // sorted

 private:
  std::string path_;
};

std::string ReadFile(const std::string& path);

class CliProcess {
 public:
  // With pipeStdout, standard output goes to a pipe the test reads (and may close) instead
  // of a file. program: another program to run than pathmon-cli (a peer such as Prometheus).
  // The child is killed when the thread that started it ends, so a crashed test leaves none.
  CliProcess(std::vector<std::string> args, const std::string& workDir, bool pipeStdout = false,
             const std::string& program = "");
  ~CliProcess();  // kills the program if still running
  CliProcess(const CliProcess&) = delete;
  CliProcess& operator=(const CliProcess&) = delete;

  // Waits up to timeoutMs for the exit; the exit status, or -1 on time-out or a death by a
  // signal.
  int Wait(int timeoutMs);
  void Signal(int signal);
  bool Exited() const { return exited_; }
  std::string Stdout() const;
  std::string Stderr() const;
  // pipeStdout only: reads until text has come (true) or timeoutMs passed; then closes the
  // reading end, as a reader like head(1) would.
  bool ReadPipeUntil(const std::string& text, int timeoutMs);
  void ClosePipe();

 private:
  pid_t pid_ = -1;
  int pipe_ = -1;
  std::string piped_;
  std::string dir_;
  bool exited_ = false;
  int status_ = -1;
};

// Runs the program to its end (at most timeoutMs) and returns its exit status.
int RunCli(const std::vector<std::string>& args, const std::string& workDir, int timeoutMs,
           std::string* out = nullptr, std::string* err = nullptr);

}  // namespace pathmon::testing
