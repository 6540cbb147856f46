// SPDX-License-Identifier: Apache-2.0
#pragma once
// Captures the lines of DebugTrace for the lifetime of the object.

#include <mutex>
#include <string>
#include <vector>

#include "transport/DebugTrace.h"

namespace pathmon::testing {

class TraceRecorder {
 public:
  TraceRecorder() { SetTraceSink(&TraceRecorder::Record, this); }
  ~TraceRecorder() { SetTraceSink(nullptr, nullptr); }
  TraceRecorder(const TraceRecorder&) = delete;
  TraceRecorder& operator=(const TraceRecorder&) = delete;

  // Every line as emitted, CR LF included.
  std::vector<std::string> Lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
  }

 private:
  static void Record(void* context, std::string_view line) {
    auto* self = static_cast<TraceRecorder*>(context);
    std::lock_guard lock(self->mutex_);
    self->lines_.emplace_back(line);
  }

  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
};

}  // namespace pathmon::testing
