// SPDX-License-Identifier: Apache-2.0
#pragma once
// The single-instance guard: an flock()ed lock file named NORVANE_FARLINE_PATHMON in
// $XDG_RUNTIME_DIR (else /tmp, with the user id in the name). The kernel drops the lock when
// the holder ends, however it ends, so a crashed copy never blocks the next one.

#include <string>

namespace pathmon {

// Contract: one thread; the lock is held from a successful Acquire until Release or
// destruction.
class InstanceGuard {
 public:
  enum class Result {
    kAcquired,        // this is the only copy
    kAlreadyRunning,  // another copy holds the lock
    kNoGuard,         // the lock file could not be opened: go on without a guard
  };

  InstanceGuard() = default;
  ~InstanceGuard();
  InstanceGuard(const InstanceGuard&) = delete;
  InstanceGuard& operator=(const InstanceGuard&) = delete;

  Result Acquire(const std::string& path);
  void Release();
  bool Held() const { return fd_ >= 0; }

  // $XDG_RUNTIME_DIR/NORVANE_FARLINE_PATHMON, or /tmp/NORVANE_FARLINE_PATHMON.<uid>.
  static std::string DefaultPath();

 private:
  int fd_ = -1;
};

}  // namespace pathmon
