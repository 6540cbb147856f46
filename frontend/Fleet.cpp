// SPDX-License-Identifier: Apache-2.0
#include "frontend/Fleet.h"

#include <arpa/inet.h>

namespace pathmon {

void FleetPhone::SetEntry(const PhoneEntry& phoneEntry) {
  entry = phoneEntry;
  address = ::inet_addr(entry.scannedAddress);
}

FleetPhone FleetPhoneOf(MainBackend& backend, LoopTest& test) {
  FleetPhone phone;
  phone.test = &test;
  phone.serial = test.SerialNumber();
  PhoneEntry entry{};
  phone.listed = backend.FindPhoneBySerial(phone.serial.c_str(), entry);
  phone.SetEntry(entry);
  return phone;
}

std::vector<FleetPhone> FleetSnapshot(MainBackend& backend) {
  std::vector<LoopTest*> tests;
  backend.ForEachLoopTest([&tests](int, LoopTest& test) { tests.push_back(&test); });
  std::vector<FleetPhone> fleet;
  fleet.reserve(tests.size());
  for (LoopTest* test : tests) fleet.push_back(FleetPhoneOf(backend, *test));
  return fleet;
}

StartResult StartPhoneTest(MainBackend& backend, const FleetPhone& phone, int32_t durationSeconds,
                           const std::function<bool()>& cancelled) {
  auto cancel = [&cancelled] { return cancelled && cancelled(); };
  bool answered = false;
  for (int i = 0; i < kStartTries && !answered; ++i) {
    if (cancel()) return StartResult::kCancelled;
    answered = backend.SendStartCommand(1, phone.address, *phone.test) == 1;
  }
  if (!answered) return StartResult::kFailed;
  if (cancel()) return StartResult::kCancelled;
  backend.StartLoopTest(durationSeconds, kTestIntervalMs, phone.address, phone.test);
  return StartResult::kStarted;
}

}  // namespace pathmon
