// SPDX-License-Identifier: Apache-2.0
#include "support/ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

namespace pathmon::testing {

ChildProcess::ChildProcess(std::vector<std::string> command, const std::string& workDir,
                           bool pipeStdout)
    : dir_(workDir) {
  if (dir_.empty()) {
    ownDir_ = std::make_unique<TempDir>("child");
    dir_ = ownDir_->Path();
  }
  int fds[2] = {-1, -1};
  if (command.empty() || (pipeStdout && ::pipe2(fds, O_CLOEXEC) != 0)) return;
  // Everything the child needs is prepared before fork: only exec-safe calls after it.
  std::vector<char*> argv;
  for (std::string& a : command) argv.push_back(a.data());
  argv.push_back(nullptr);
  const std::string out = dir_ + "/.stdout";
  const std::string err = dir_ + "/.stderr";
  pid_ = ::fork();
  if (pid_ == 0) {
    // A test may block signals it waits for itself; the program starts with none blocked.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    int o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int e = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (o < 0 || e < 0 || ::chdir(dir_.c_str()) != 0) ::_exit(127);
    ::dup2(pipeStdout ? fds[1] : o, STDOUT_FILENO);
    ::dup2(e, STDERR_FILENO);
    int null = ::open("/dev/null", O_RDONLY);
    if (null >= 0) ::dup2(null, STDIN_FILENO);
    ::execvp(argv[0], argv.data());
    ::_exit(127);
  }
  if (pipeStdout) {
    ::close(fds[1]);
    pipe_ = fds[0];
  }
}

void ChildProcess::ReadPipe(int timeoutMs, const std::function<bool()>& done) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (pipe_ >= 0 && !pipeEnded_ && !done()) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd p{pipe_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    char buffer[4096];
    ssize_t n = ::read(pipe_, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      pipeEnded_ = true;
      break;
    }
    piped_.append(buffer, static_cast<std::size_t>(n));
  }
}

bool ChildProcess::ReadPipeUntil(const std::string& text, int timeoutMs) {
  const auto found = [&] { return piped_.find(text) != std::string::npos; };
  ReadPipe(timeoutMs, found);
  return found();
}

bool ChildProcess::ReadPipeToEnd(int timeoutMs) {
  ReadPipe(timeoutMs, [] { return false; });
  return pipeEnded_;
}

void ChildProcess::ClosePipe() {
  if (pipe_ >= 0) ::close(pipe_);
  pipe_ = -1;
}

ChildProcess::~ChildProcess() {
  ClosePipe();
  if (pid_ > 0 && !exited_) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
}

int ChildProcess::Wait(int timeoutMs) {
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

void ChildProcess::Signal(int signal) {
  if (pid_ > 0 && !exited_) ::kill(pid_, signal);
}

std::string ChildProcess::Stdout() const { return ReadFile(dir_ + "/.stdout"); }
std::string ChildProcess::Stderr() const { return ReadFile(dir_ + "/.stderr"); }

int RunProgram(const std::vector<std::string>& command, const std::string& workDir, int timeoutMs,
               std::string* out, std::string* err) {
  ChildProcess child(command, workDir);
  int status = child.Wait(timeoutMs);
  if (out != nullptr) *out = child.Stdout();
  if (err != nullptr) *err = child.Stderr();
  return status;
}

}  // namespace pathmon::testing
