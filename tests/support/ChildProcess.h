// SPDX-License-Identifier: Apache-2.0
#pragma once
// A program run by a test as a child process (pathmon-cli, Prometheus, snmpget, a browser):
// in a working folder, its standard input /dev/null, its standard output and error going to
// the files .stdout and .stderr there, or its standard output to a pipe the test reads.
//
// Contract: one thread drives an instance; the child is killed when the thread that started
// it ends, so a crashed test leaves none behind.

#include <sys/types.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "support/TempDir.h"

namespace pathmon::testing {

class ChildProcess {
 public:
  // command: the program (a path, or a name looked up on PATH) and its arguments. workDir
  // empty: a temporary folder of the child's own, removed with it.
  ChildProcess(std::vector<std::string> command, const std::string& workDir = "",
               bool pipeStdout = false);
  ~ChildProcess();  // kills the program if still running
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Waits up to timeoutMs for the exit; the exit status, or -1 on time-out or a death by a
  // signal.
  int Wait(int timeoutMs);
  void Signal(int signal);
  bool Exited() const { return exited_; }
  pid_t Pid() const { return pid_; }
  std::string Stdout() const;
  std::string Stderr() const;
  // pipeStdout only: reads until text has come (true) or timeoutMs passed.
  bool ReadPipeUntil(const std::string& text, int timeoutMs);
  // pipeStdout only: reads until the output ends (true) or timeoutMs passed.
  bool ReadPipeToEnd(int timeoutMs);
  const std::string& Piped() const { return piped_; }  // all read from the pipe so far
  // Closes the reading end, as a reader like head(1) would.
  void ClosePipe();

 private:
  void ReadPipe(int timeoutMs, const std::function<bool()>& done);

  std::unique_ptr<TempDir> ownDir_;
  pid_t pid_ = -1;
  int pipe_ = -1;
  std::string piped_;
  bool pipeEnded_ = false;
  std::string dir_;
  bool exited_ = false;
  int status_ = -1;
};

// Runs the command to its end (at most timeoutMs) and returns its exit status (-1: time-out
// or a signal), with what it wrote.
int RunProgram(const std::vector<std::string>& command, const std::string& workDir, int timeoutMs,
               std::string* out = nullptr, std::string* err = nullptr);

#ifdef PATHMON_CLI_EXE
// The command line of pathmon-cli with args, in the tests that are given its path.
inline std::vector<std::string> Cli(std::vector<std::string> args) {
  args.insert(args.begin(), PATHMON_CLI_EXE);
  return args;
}
#endif

}  // namespace pathmon::testing
