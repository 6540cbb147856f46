// SPDX-License-Identifier: Apache-2.0
#include "CliProcess.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/prctl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

namespace pathmon::testing {

TempDir::TempDir() {
  char name[] = "/tmp/pathmon-cli-test-XXXXXX";
  if (::mkdtemp(name) != nullptr) path_ = name;
}

TempDir::~TempDir() {
  if (path_.empty()) return;
  for (const std::string& name : Names()) ::unlink(File(name).c_str());
  ::rmdir(path_.c_str());
}

std::vector<std::string> TempDir::Names() const {
  std::vector<std::string> names;
  if (DIR* d = ::opendir(path_.c_str())) {
    while (dirent* e = ::readdir(d)) {
      if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) {
        names.push_back(e->d_name);
      }
    }
    ::closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

CliProcess::CliProcess(std::vector<std::string> args, const std::string& workDir,
                       bool pipeStdout, const std::string& program)
    : dir_(workDir) {
  int fds[2] = {-1, -1};
  if (pipeStdout && ::pipe2(fds, O_CLOEXEC) != 0) return;
  std::vector<char*> argv;
  std::string exe = program.empty() ? PATHMON_CLI_EXE : program;
  argv.push_back(exe.data());
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::string out = workDir + "/.stdout";
  std::string err = workDir + "/.stderr";
  pid_ = ::fork();
  if (pid_ == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    int o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int e = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (o < 0 || e < 0 || ::chdir(workDir.c_str()) != 0) ::_exit(127);
    ::dup2(pipeStdout ? fds[1] : o, STDOUT_FILENO);
    ::dup2(e, STDERR_FILENO);
    int null = ::open("/dev/null", O_RDONLY);
    if (null >= 0) ::dup2(null, STDIN_FILENO);
    ::execv(exe.c_str(), argv.data());
    ::_exit(127);
  }
  if (pipeStdout) {
    ::close(fds[1]);
    pipe_ = fds[0];
  }
}

bool CliProcess::ReadPipeUntil(const std::string& text, int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (pipe_ >= 0 && piped_.find(text) == std::string::npos) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd p{pipe_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    char buffer[4096];
    ssize_t n = ::read(pipe_, buffer, sizeof buffer);
    if (n <= 0) break;
    piped_.append(buffer, static_cast<std::size_t>(n));
  }
  return piped_.find(text) != std::string::npos;
}

void CliProcess::ClosePipe() {
  if (pipe_ >= 0) ::close(pipe_);
  pipe_ = -1;
}

CliProcess::~CliProcess() {
  ClosePipe();
  if (pid_ > 0 && !exited_) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
}

int CliProcess::Wait(int timeoutMs) {
  if (exited_) return status_;
  if (pid_ <= 0) return -1;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (true) {
    int status = 0;
    pid_t done = ::waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      exited_ = true;
      status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      return status_;
    }
    if (std::chrono::steady_clock::now() >= deadline) return -1;
    // Polling a child's exit: there is no clock to inject into another process.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

void CliProcess::Signal(int signal) {
  if (pid_ > 0 && !exited_) ::kill(pid_, signal);
}

std::string CliProcess::Stdout() const { return ReadFile(dir_ + "/.stdout"); }
std::string CliProcess::Stderr() const { return ReadFile(dir_ + "/.stderr"); }

int RunCli(const std::vector<std::string>& args, const std::string& workDir, int timeoutMs,
           std::string* out, std::string* err) {
  CliProcess cli(args, workDir);
  int status = cli.Wait(timeoutMs);
  if (out != nullptr) *out = cli.Stdout();
  if (err != nullptr) *err = cli.Stderr();
  return status;
}

}  // namespace pathmon::testing
