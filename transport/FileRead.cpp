// SPDX-License-Identifier: Apache-2.0
#include "transport/FileRead.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace pathmon {

bool IsRegularFile(int fd, struct stat& info, std::string& reason) {
  if (::fstat(fd, &info) != 0) {
    reason = std::strerror(errno);
    return false;
  }
  if (!S_ISREG(info.st_mode)) {
    reason = "not a regular file";
    return false;
  }
  return true;
}

bool ReadRegularFile(const std::string& path, std::string& text, std::string& reason,
                     ReadLimits limits, struct stat* status) {
  const int fd = ::open(path.c_str(),
                        O_RDONLY | O_NONBLOCK | O_CLOEXEC | (limits.noFollow ? O_NOFOLLOW : 0));
  if (fd < 0) {
    reason = std::strerror(errno);
    return false;
  }
  struct stat info {};
  bool ok = IsRegularFile(fd, info, reason);
  std::string read;
  char buffer[65536];
  while (ok && read.size() < limits.maxBytes) {
    const std::size_t want = std::min(sizeof buffer, limits.maxBytes - read.size());
    const ssize_t n = ::read(fd, buffer, want);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      ok = false;
      reason = std::strerror(errno);
    }
    if (n <= 0) break;
    read.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  if (!ok) return false;
  if (status != nullptr) *status = info;
  text = std::move(read);
  return true;
}

}  // namespace pathmon
