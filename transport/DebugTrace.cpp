// SPDX-License-Identifier: Apache-2.0
#include "transport/DebugTrace.h"

#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace pathmon {
namespace {

void WriteToStandardError(void*, std::string_view line) {
  const char* p = line.data();
  std::size_t left = line.size();
  while (left > 0) {
    ssize_t n = ::write(STDERR_FILENO, p, left);
    if (n <= 0) return;  // the trace reports nothing about itself
    p += n;
    left -= static_cast<std::size_t>(n);
  }
}

struct SinkSlot {
  std::atomic<TraceSink> sink{&WriteToStandardError};
  std::atomic<void*> context{nullptr};
};

SinkSlot& Slot() {
  static SinkSlot slot;
  return slot;
}

}  // namespace

void SetTraceSink(TraceSink sink, void* context) {
  Slot().context.store(context);
  Slot().sink.store(sink ? sink : &WriteToStandardError);
}

}  // namespace pathmon

int DebugTrace(int /*line*/, const char* /*module*/, const void* /*reserved*/, const char* format,
               ...) {
  if (format == nullptr) return 0;

  char message[pathmon::kTraceBufferSize];
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(message, sizeof message, format, args);
  va_end(args);
  if (n < 0) return 0;

  std::size_t length = std::strlen(message);
  if (length > pathmon::kMaxTraceMessage) length = pathmon::kMaxTraceMessage;

  char line[pathmon::kTraceBufferSize];
  std::memcpy(line, message, length);
  line[length] = '\r';
  line[length + 1] = '\n';
  line[length + 2] = '\0';

  auto& slot = pathmon::Slot();
  slot.sink.load()(slot.context.load(), std::string_view(line, length + 2));
  return 0;
}
