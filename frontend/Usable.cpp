// SPDX-License-Identifier: Apache-2.0
#include "frontend/Usable.h"

namespace pathmon {

bool CycleUsable(const TestStatistics& cycle) {
  if (cycle.avgRtt > kUsableMaxAvgRtt) return false;
  if (cycle.interruptions > kUsableMaxInterruptions) return false;
  if (cycle.sent > 0 && cycle.received == 0) return false;
  return true;
}

}  // namespace pathmon
