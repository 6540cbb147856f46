// SPDX-License-Identifier: Apache-2.0
#pragma once
// Whether a cycle is usable for voice, by the main window's rule: a cycle with an average
// round-trip time over 150 ms or more than 10 interruptions is not usable. Both front ends
// judge by it (the command line's verdict, the window's status line and row colours).

#include <cstdint>

#include "looptest/LoopTest.h"

namespace pathmon {

inline constexpr int32_t kUsableMaxAvgRtt = 150;
inline constexpr int32_t kUsableMaxInterruptions = 10;
// Beside the rule: a cycle that sent frames and got no echo back is not usable. Its average
// round-trip time stays 0 and would pass the rule, yet a phone that answers the control
// exchange and then echoes nothing (or ends the test at once) is surely not usable.
bool CycleUsable(const TestStatistics& cycle);

}  // namespace pathmon
