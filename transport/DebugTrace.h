// SPDX-License-Identifier: Apache-2.0
#pragma once
// The diagnostic trace: one line per call, for developers, on standard error.
//
// Contract: callable from any thread at any time, nothing to initialise. Each call formats
// into buffers of its own and hands the finished line to the sink in one write, so lines of
// concurrent callers never interleave. A line is the message followed by CR LF; a message
// longer than kMaxTraceMessage characters is cut to that length (the CR LF always follows).

#include <cstddef>
#include <string_view>

namespace pathmon {

inline constexpr std::size_t kTraceBufferSize = 1024;
// Room for the message in a 1024-byte line with its CR LF and terminating zero.
inline constexpr std::size_t kMaxTraceMessage = kTraceBufferSize - 3;

// Receives each finished line, CR LF included. Tests install their own; the default
// writes the line to standard error with a single write(2).
using TraceSink = void (*)(void* context, std::string_view line);

// Replaces the sink; nullptr restores the default. Not meant to race with DebugTrace:
// install it before the threads that trace are started.
void SetTraceSink(TraceSink sink, void* context);

}  // namespace pathmon

// line: the caller's source line; module: PhoneListMgr, PATHMONRequester, PATHMONSocket or
// PhoneLog; reserved: always null. A null format emits nothing. Always returns 0.
int DebugTrace(int line, const char* module, const void* reserved, const char* format, ...)
    __attribute__((format(printf, 4, 5)));
