// SPDX-License-Identifier: Apache-2.0
#include "support/FileObstacles.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace pathmon::testing {

namespace {

bool PrivateNamespace(std::string* why) {
  static int result = [] {
    if (::unshare(CLONE_NEWNS) != 0) return errno;
    // Private, so that the mounts below never propagate to the host's namespace.
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return errno;
    return 0;
  }();
  if (result != 0 && why != nullptr) {
    *why = std::string("no mount namespace: ") + std::strerror(result);
  }
  return result == 0;
}

}  // namespace

bool MountSmallTmpfs(const std::string& dir, long bytes, bool readOnly, std::string* why) {
  if (!PrivateNamespace(why)) return false;
  const std::string options = "size=" + std::to_string(bytes);
  if (::mount("tmpfs", dir.c_str(), "tmpfs", readOnly ? MS_RDONLY : 0, options.c_str()) != 0) {
    if (why != nullptr) *why = std::string("cannot mount a tmpfs: ") + std::strerror(errno);
    return false;
  }
  return true;
}

void Unmount(const std::string& dir) { ::umount2(dir.c_str(), MNT_DETACH); }

void FillFileSystem(const std::string& dir) {
  const int fd = ::open((dir + "/filler").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return;
  std::vector<char> block(4096, 'x');
  while (::write(fd, block.data(), block.size()) > 0) {
  }
  while (::write(fd, block.data(), 1) > 0) {
  }
  ::close(fd);
}

}  // namespace pathmon::testing
