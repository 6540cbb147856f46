// SPDX-License-Identifier: Apache-2.0
#include "frontend/InstanceGuard.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "frontend/Messages.h"

namespace pathmon {

InstanceGuard::~InstanceGuard() { Release(); }

InstanceGuard::Result InstanceGuard::Acquire(const std::string& path) {
  Release();
  // O_NOFOLLOW: in a shared /tmp another user could plant a symbolic link under our name.
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) {
    return Result::kNoGuard;
  }
  int rc;
  do {
    rc = ::flock(fd, LOCK_EX | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    bool held = errno == EWOULDBLOCK;
    ::close(fd);
    return held ? Result::kAlreadyRunning : Result::kNoGuard;
  }
  fd_ = fd;
  return Result::kAcquired;
}

void InstanceGuard::Release() {
  if (fd_ >= 0) {
    ::close(fd_);  // closing the only descriptor drops the lock
    fd_ = -1;
  }
}

std::string InstanceGuard::DefaultPath() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime != nullptr && runtime[0] != '\0') {
    return std::string(runtime) + "/" + kInstanceName;
  }
  return std::string("/tmp/") + kInstanceName + "." + std::to_string(::getuid());
}

}  // namespace pathmon
