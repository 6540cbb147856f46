// SPDX-License-Identifier: Apache-2.0
#pragma once
// SIGINT, SIGTERM and SIGHUP (the session of a jump host dropped) as events the run waits
// for, read from a signalfd: no work is done in a signal handler.
//
// Contract: construct it on the main thread before any other thread exists, so that every
// later thread inherits the blocked mask and the signals can only be taken through here.
// Wait and Signal may be called from any thread (the monitor's scan asks from its own).

#include <atomic>

namespace pathmon::cli {

class SignalWatch {
 public:
  SignalWatch();  // blocks SIGINT, SIGTERM and SIGHUP and opens the signalfd
  ~SignalWatch();
  SignalWatch(const SignalWatch&) = delete;
  SignalWatch& operator=(const SignalWatch&) = delete;

  bool Ok() const { return fd_ >= 0; }
  // Waits up to ms milliseconds (0: only looks); true once a signal has arrived, now or
  // earlier.
  bool Wait(int ms);
  int Signal() const { return signal_.load(); }  // the first signal taken, 0 before

 private:
  int fd_ = -1;
  std::atomic<int> signal_{0};
};

}  // namespace pathmon::cli
