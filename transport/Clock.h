// SPDX-License-Identifier: Apache-2.0
#pragma once
// Time as the engine sees it: the 32-bit millisecond tick counter, calendar seconds, the
// steady clock used for pacing, and sleeping. Everything that waits or reads time takes a
// Clock, so tests can substitute one whose time only moves when they say so.
//
// Contract: implementations are called from several threads at once and must be
// thread-safe.

#include <chrono>
#include <cstdint>

namespace pathmon {

class Clock {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;

  virtual ~Clock() = default;
  // Milliseconds of the steady clock, modulo 2^32; differences are taken modulo 2^32.
  virtual uint32_t TickMs() = 0;
  // Calendar time in whole seconds since 1970-01-01 00:00 UTC.
  virtual int64_t WallSeconds() = 0;
  // The same in nanoseconds, for labels that are rounded to the second rather than cut.
  virtual int64_t WallNs() { return WallSeconds() * 1'000'000'000; }
  // The steady clock, for sending on a schedule.
  virtual TimePoint Now() = 0;
  // The tick counter as it read (or will read) at the steady instant t.
  virtual uint32_t TickAt(TimePoint t) {
    const auto before = std::chrono::duration_cast<std::chrono::milliseconds>(Now() - t);
    return TickMs() - static_cast<uint32_t>(before.count());
  }
  virtual void SleepMs(int32_t ms) = 0;
  virtual void SleepUntil(TimePoint deadline) = 0;
};

// The real clocks of the machine; one process-wide instance.
Clock& SystemClock();

}  // namespace pathmon
