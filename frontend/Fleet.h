// SPDX-License-Identifier: Apache-2.0
#pragma once
// The fleet as the front ends work from it: each registered test with its phone as the
// directory holds it and the address it is tested at, read once; and the Start command's
// sequence (the control exchange, then the test) that the main window, the one-off run and the
// monitor all start a phone with.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "discovery/PhoneListMgr.h"
#include "frontend/Backend.h"

namespace pathmon {

struct FleetPhone {
  LoopTest* test = nullptr;
  std::string serial;    // the test's serial number
  PhoneEntry entry{};    // zeroed when the directory no longer holds the phone
  bool listed = false;   // the directory holds it
  uint32_t address = 0;  // entry.scannedAddress in network byte order, as the tests take it

  // The entry and, with it, the address.
  void SetEntry(const PhoneEntry& phoneEntry);
  // The phone a test of it runs against, as the observers see it.
  TestIdentity Identity() const { return {serial, entry.userName, address}; }
};

// The phone of test as the directory holds it now.
FleetPhone FleetPhoneOf(MainBackend& backend, LoopTest& test);
// Every registered test in slot order with its phone. The tests are collected first and the
// directory read after: the visit holds the registry's lock.
std::vector<FleetPhone> FleetSnapshot(MainBackend& backend);

enum class StartResult { kStarted, kFailed, kCancelled };

// The Start command for one phone: the control exchange, one try at a time up to kStartTries
// (each waits a second for the answer), then the test of durationSeconds. cancelled, when
// given, is asked before every try and before the test starts, so that an interruption ends
// a start under way within a second. As the Start command, the test start's own result is not
// looked at: a thread that is late to report running is found stopped later and judged by its
// cycle results. Blocks for up to kStartTries seconds; any thread.
StartResult StartPhoneTest(MainBackend& backend, const FleetPhone& phone, int32_t durationSeconds,
                           const std::function<bool()>& cancelled = {});

}  // namespace pathmon
