// SPDX-License-Identifier: Apache-2.0
#pragma once
// The session's settings that the community dialog writes and the Start command reads; the
// third, the community, is the directory's.

#include <cstdint>

namespace pathmon {

inline constexpr int32_t kInitialDurationMinutes = 5;
inline constexpr int32_t kInitialMaxConcurrentTests = 10;
inline constexpr int32_t kDefaultCommunityMaxTests = 2;
inline constexpr int32_t kDefaultCommunityMaxMinutes = 5;
inline constexpr int32_t kMinDurationMinutes = 1;
inline constexpr int32_t kMaxDurationMinutes = 60;

// Contract: written on the user-interface thread before the main window opens (or before the
// command line's tests start), only read afterwards; no lock.
struct ProgramSettings {
  int32_t durationMinutes = kInitialDurationMinutes;        // length of every test
  int32_t maxConcurrentTests = kInitialMaxConcurrentTests;  // most tests running at once
  // The class (DSCP, transport/Dscp.h) of the control exchange and the test frames; 0
  // unmarked. Given to the test socket when it starts.
  int32_t dscp = 0;
};

}  // namespace pathmon
