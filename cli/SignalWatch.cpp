// SPDX-License-Identifier: Apache-2.0
#include "cli/SignalWatch.h"

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>

namespace pathmon::cli {

SignalWatch::SignalWatch() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGHUP);
  if (pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0) return;
  fd_ = signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
}

SignalWatch::~SignalWatch() {
  if (fd_ >= 0) ::close(fd_);
}

bool SignalWatch::Wait(int ms) {
  if (signal_ != 0) return true;
  if (fd_ < 0) {
    if (ms > 0) ::usleep(static_cast<useconds_t>(ms) * 1000);
    return false;
  }
  pollfd p{fd_, POLLIN, 0};
  int ready = ::poll(&p, 1, ms);
  if (ready <= 0) return false;
  signalfd_siginfo info{};
  if (::read(fd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
    int none = 0;  // the first signal taken stays, whichever thread read a later one
    signal_.compare_exchange_strong(none, static_cast<int>(info.ssi_signo));
  }
  return signal_ != 0;
}

}  // namespace pathmon::cli
