// SPDX-License-Identifier: Apache-2.0
#pragma once
// The files a user names for the tool to read (a community file, a sites file, a phone's
// history files): opened without blocking and read only when they are regular files. A FIFO
// without a writer, or a device, in a file's place would otherwise hold the open for ever,
// and with it every signal that should end the run.

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace pathmon {

struct ReadLimits {
  std::size_t maxBytes = SIZE_MAX;  // read no more than this (the rest is left unread)
  bool noFollow = false;            // refuse a symbolic link in path's last part
};

// Opens path with O_NONBLOCK, checks on the opened file that it is a regular one and reads
// it (up to limits.maxBytes) into text; status, when given, gets the opened file's status
// for the caller's own checks (its mode). False with reason otherwise: "not a regular file"
// or the system's text.
bool ReadRegularFile(const std::string& path, std::string& text, std::string& reason,
                     ReadLimits limits = {}, struct stat* status = nullptr);

// Whether the open file fd is a regular one (its status in info); false with reason
// otherwise: "not a regular file" or the system's text. The check readers and writers make
// on the file they opened, never on a path that may change under them.
bool IsRegularFile(int fd, struct stat& info, std::string& reason);

}  // namespace pathmon
