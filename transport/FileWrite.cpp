// SPDX-License-Identifier: Apache-2.0
#include "transport/FileWrite.h"

#include "transport/FileRead.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace pathmon {

namespace {

bool WriteFile(const std::string& path, std::string_view text, bool append,
               std::string& reason) {
  // O_NONBLOCK: opening a FIFO for writing would otherwise wait for a reader for ever.
  const int flags = O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK |
                    (append ? O_APPEND : 0);
  const int fd = ::open(path.c_str(), flags, 0644);
  if (fd < 0) {
    // ELOOP is what O_NOFOLLOW gives for a symlink in the way, ENXIO a FIFO without reader.
    reason = errno == ELOOP   ? "a symbolic link is in the way"
             : errno == ENXIO ? "not a regular file"
                              : std::strerror(errno);
    return false;
  }
  struct stat info {};
  bool ok = IsRegularFile(fd, info, reason);
  if (ok && !append && ::ftruncate(fd, 0) != 0) {
    ok = false;
    reason = std::strerror(errno);
  }
  const off_t before = ok ? info.st_size : 0;
  std::size_t done = 0;
  while (ok && done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = false;
      reason = std::strerror(n < 0 ? errno : ENOSPC);
      break;
    }
    done += static_cast<std::size_t>(n);
  }
  // A full file system may take part of a history line: the file goes back to its last
  // whole line, so that later lines never continue a cut one.
  if (!ok && append && done > 0) (void)::ftruncate(fd, before);
  if (::close(fd) != 0 && ok) {
    ok = false;
    reason = std::strerror(errno);
  }
  return ok;
}

}  // namespace

bool AppendToFile(const std::string& path, std::string_view text, std::string& reason) {
  return WriteFile(path, text, true, reason);
}

bool ReplaceFile(const std::string& path, std::string_view text, std::string& reason) {
  return WriteFile(path, text, false, reason);
}

std::string WriteFailureMessage(const WriteFailure& failure) {
  return "Cannot write " + failure.path + ": " + failure.reason;
}

void WriteFailures::Report(const std::string& path, const std::string& reason) {
  std::lock_guard lock(mutex_);
  for (WriteFailure& f : failures_) {
    if (f.path == path) {
      ++f.count;
      return;
    }
  }
  failures_.push_back({path, reason, 1});
}

std::vector<WriteFailure> WriteFailures::TakeNew() {
  std::lock_guard lock(mutex_);
  std::vector<WriteFailure> fresh(failures_.begin() + static_cast<long>(shown_), failures_.end());
  shown_ = failures_.size();
  return fresh;
}

std::vector<WriteFailure> WriteFailures::All() const {
  std::lock_guard lock(mutex_);
  return failures_;
}

}  // namespace pathmon
