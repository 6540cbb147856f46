// SPDX-License-Identifier: Apache-2.0
#include "support/SimProcess.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>

namespace pathmon::testing {
namespace {

constexpr int kReadyLimitMs = 10000;
constexpr int kExitLimitMs = 10000;

}  // namespace

bool ParseSimReport(const std::string& json, std::map<std::string, SimPhoneCounters>& out) {
  const nlohmann::json doc = nlohmann::json::parse(json, nullptr, false);
  if (!doc.is_object() || !doc.contains("phones") || !doc["phones"].is_array()) return false;
  std::map<std::string, SimPhoneCounters> parsed;
  try {
    for (const nlohmann::json& phone : doc["phones"]) {
      SimPhoneCounters c;
      c.address = phone.at("address").get<std::string>();
      c.serial = phone.at("serial").get<std::string>();
      c.controlMessages = phone.at("controlMessages").get<long>();
      c.framesReceived = phone.at("framesReceived").get<long>();
      c.badSignature = phone.at("badSignature").get<long>();
      c.framesEchoed = phone.at("framesEchoed").get<long>();
      c.framesDropped = phone.at("framesDropped").get<long>();
      c.noncesIssued = phone.at("noncesIssued").get<long>();
      c.snmpRequests = phone.at("snmpRequests").get<long>();
      c.extraEchoes = phone.at("extraEchoes").get<long>();
      for (const auto& [dscp, count] : phone.at("controlByDscp").items()) {
        c.controlByDscp[std::stoi(dscp)] = count.get<long>();
      }
      for (const auto& [dscp, count] : phone.at("framesByDscp").items()) {
        c.framesByDscp[std::stoi(dscp)] = count.get<long>();
      }
      parsed[c.address] = c;
    }
  } catch (const nlohmann::json::exception&) {
    return false;
  }
  out = std::move(parsed);
  return true;
}

SimProcess::SimProcess(std::vector<std::string> args) {
  errPath_ = dir_.File("stderr");
  const int errFd = open(errPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (errFd < 0) {
    ADD_FAILURE() << "farline-phone-sim: cannot create a file for its stderr: "
                  << std::strerror(errno);
    return;
  }
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) {
    close(errFd);
    ADD_FAILURE() << "farline-phone-sim: pipe failed: " << std::strerror(errno);
    return;
  }
  // Everything the child needs is prepared before fork: only exec-safe calls after it.
  std::vector<std::string> storage;
  storage.push_back(PATHMON_SIM_EXE);
  for (std::string& a : args) storage.push_back(std::move(a));
  std::vector<char*> argv;
  for (std::string& a : storage) argv.push_back(a.data());
  argv.push_back(nullptr);

  pid_ = fork();
  if (pid_ == 0) {
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    // A test binary that dies (crash, time-out kill) takes its simulated phones with it, so
    // they do not hold their addresses against the next run. The signal follows the death of
    // the forking thread: create SimProcess on a thread that outlives it.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    const int devNull = open("/dev/null", O_RDONLY);
    if (devNull >= 0) dup2(devNull, 0);
    dup2(out[1], 1);
    dup2(errFd, 2);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(out[1]);
  close(errFd);
  if (pid_ < 0) {
    close(out[0]);
    ADD_FAILURE() << "farline-phone-sim: fork failed: " << std::strerror(errno);
    return;
  }
  outFd_ = out[0];
  ReadOutput(kReadyLimitMs, true);
  if (!ready_) {
    const bool exited = outFd_ < 0;  // its output ended: it exited before READY
    Reap(!exited);
    if (exited) {
      ADD_FAILURE() << "farline-phone-sim exited before READY (wait status " << waitStatus_
                    << ", exit code " << (WIFEXITED(waitStatus_) ? WEXITSTATUS(waitStatus_) : -1)
                    << "); stderr:\n"
                    << Stderr();
    } else {
      ADD_FAILURE() << "farline-phone-sim did not report READY within " << kReadyLimitMs / 1000
                    << " s; stderr:\n"
                    << Stderr();
    }
  }
}

SimProcess::~SimProcess() { Reap(true); }

bool SimProcess::Ok() const { return ready_ && pid_ > 0; }

pid_t SimProcess::Pid() const { return pid_; }

std::string SimProcess::Stderr() const { return ReadFile(errPath_); }

// Collects standard output; before READY, what precedes the READY line is dropped.
void SimProcess::ReadOutput(int timeoutMs, bool untilReady) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  std::string pending;
  char buffer[4096];
  while (outFd_ >= 0) {
    if (untilReady) {
      const std::size_t line = pending.find("READY\n");
      if (line != std::string::npos) {
        ready_ = true;
        output_ = pending.substr(line + 6);
        return;
      }
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0) return;
    pollfd p{outFd_, POLLIN, 0};
    const int r = poll(&p, 1, static_cast<int>(left));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return;
    const ssize_t n = read(outFd_, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {  // end of output: the sim exited
      close(outFd_);
      outFd_ = -1;
      return;
    }
    (untilReady ? pending : output_).append(buffer, static_cast<std::size_t>(n));
  }
}

void SimProcess::Reap(bool kill) {
  if (pid_ > 0) {
    if (kill) ::kill(pid_, SIGKILL);
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    waitStatus_ = status;
    pid_ = -1;
  }
  if (outFd_ >= 0) {
    close(outFd_);
    outFd_ = -1;
  }
}

std::map<std::string, SimPhoneCounters> SimProcess::Stop() {
  std::map<std::string, SimPhoneCounters> counters;
  if (!Ok()) {
    ADD_FAILURE() << "farline-phone-sim is not running";
    return counters;
  }
  ::kill(pid_, SIGTERM);
  ReadOutput(kExitLimitMs, false);
  const bool exited = outFd_ < 0;
  Reap(!exited);
  ready_ = false;
  if (!exited) {
    ADD_FAILURE() << "farline-phone-sim did not exit within " << kExitLimitMs / 1000
                  << " s of SIGTERM; stderr:\n"
                  << Stderr();
    return counters;
  }
  if (!WIFEXITED(waitStatus_) || WEXITSTATUS(waitStatus_) != 0) {
    ADD_FAILURE() << "farline-phone-sim ended with wait status " << waitStatus_ << "; stderr:\n"
                  << Stderr();
    return counters;
  }
  if (!ParseSimReport(output_, counters)) {
    ADD_FAILURE() << "farline-phone-sim printed no valid report:\n" << output_;
  }
  return counters;
}

}  // namespace pathmon::testing
