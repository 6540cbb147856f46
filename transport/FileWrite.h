// SPDX-License-Identifier: Apache-2.0
#pragma once
// The files written for the phones (history lines, logs): opened so that a name chosen by a
// phone can never reach another file, written whole or reported, and every failure kept
// in one record (the engine's) for the front ends to show.
//
// A phone's texts make the file names, so anything may lie in the way: a symlink planted
// to redirect a write, a directory, a device or a FIFO. The files are opened with
// O_NOFOLLOW and must be regular files; a FIFO is opened without blocking and refused.

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace pathmon {

// Appends text to path (created when missing), or replaces path's content with text. The
// content is written with as many write calls as it takes and the file is closed; false
// with reason (strerror text, or "not a regular file") when any step fails. A replace
// empties the file only once it is known to be a regular file.
bool AppendToFile(const std::string& path, std::string_view text, std::string& reason);
bool ReplaceFile(const std::string& path, std::string_view text, std::string& reason);

// One file that could not be written: its first reason and how many writes were lost.
struct WriteFailure {
  std::string path;
  std::string reason;
  int64_t count = 0;
};

// "Cannot write FILE: REASON"
std::string WriteFailureMessage(const WriteFailure& failure);

// Contract: thread-safe. Report runs on whichever thread wrote (a test thread for history
// lines); the front end takes the new failures from its own thread and shows each once.
class WriteFailures {
 public:
  void Report(const std::string& path, const std::string& reason);
  // The files that failed since the last call for the first time, in order of failure.
  std::vector<WriteFailure> TakeNew();
  // Every file that failed, with its count of lost writes, in order of first failure.
  std::vector<WriteFailure> All() const;

 private:
  mutable std::mutex mutex_;
  std::vector<WriteFailure> failures_;
  std::size_t shown_ = 0;  // failures_[0..shown_) were taken already
};

}  // namespace pathmon
