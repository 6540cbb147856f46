// SPDX-License-Identifier: Apache-2.0
// Giving every discovered phone its LoopTest. Kept apart from the directory so that the
// directory links without the session registry.

#include <array>
#include <cstring>
#include <mutex>
#include <vector>

#include "discovery/PhoneDirectory.h"
#include "looptest/SessionRegistry.h"

namespace pathmon {

void PhoneDirectory::CreateLoopTestsForPhones(SessionRegistry& registry) {
  using Serial = std::array<char, sizeof(PhoneEntry::serialNumber)>;
  std::vector<Serial> serials;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    serials.resize(static_cast<std::size_t>(count_));
    for (int32_t i = 0; i < count_; ++i) {
      std::memcpy(serials[static_cast<std::size_t>(i)].data(), entries_[i].serialNumber,
                  sizeof(PhoneEntry::serialNumber));
    }
  }
  // The registry takes its own lock, and its holders look phones up in the directory:
  // calling it with the directory lock held could deadlock.
  for (const Serial& serial : serials) registry.GetOrCreateLoopTest(nullptr, serial.data());
}

}  // namespace pathmon
