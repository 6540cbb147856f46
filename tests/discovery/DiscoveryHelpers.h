// SPDX-License-Identifier: Apache-2.0
#pragma once
// Helpers for the directory and scan tests: answers to the discovery objects, served by
// FakeSnmpClient, and bounded waits for the scan's workers.

#include <array>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "discovery/PhoneListMgr.h"
#include "support/FakeSnmpClient.h"

namespace pathmon::discovery_test {

using Bytes = std::vector<uint8_t>;
using PhoneAnswer = std::array<Bytes, kDiscoveryObjectCount>;

inline Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }
inline Bytes Int32(uint32_t v) {
  Bytes b(4);
  std::memcpy(b.data(), &v, 4);  // integers arrive in host byte order
  return b;
}
inline Bytes Ip(uint8_t a, uint8_t b, uint8_t c, uint8_t d) { return Bytes{a, b, c, d}; }

// A complete answer to the 16 discovery objects, every value distinct.
inline PhoneAnswer MakePhone(const std::string& serial, const std::string& identity,
                             const std::string& user = "alice") {
  PhoneAnswer a;
  a[0] = Ip(10, 0, 0, 7);
  a[1] = Text("FW 4.1.2");
  a[2] = Text("Boot 1.07");
  a[3] = Text("FL-3200");
  a[4] = Text("ignored");
  a[5] = Int32(55);
  a[6] = Text(serial);
  a[7] = Text(identity);
  a[8] = Int32(8);
  a[9] = Int32(360000);
  a[10] = Int32(10);
  a[11] = Int32(11);
  a[12] = Text(user);
  a[13] = Ip(192, 168, 200, 254);
  a[14] = Int32(static_cast<uint32_t>(-14));
  a[15] = Int32(15);
  return a;
}

// Serves `answer` at `address` as an agent of FakeSnmpClient, each object an octet value (the
// probe checks only the serial's type).
inline void ServePhone(testing::FakeSnmpClient& snmp, const std::string& address,
                       const PhoneAnswer& answer,
                       const std::string& community = kDefaultCommunity) {
  for (int i = 0; i < kDiscoveryObjectCount; ++i) {
    const Bytes& b = answer[static_cast<std::size_t>(i)];
    snmp.SetOctets(address, community, kDiscoveryObjects[i],
                   std::string_view(reinterpret_cast<const char*>(b.data()), b.size()));
  }
}

// Waits for real worker threads, bounded: polls the busy count, never a fixed sleep.
inline bool WaitForBusyCount(const DiscoveryScan& scan, int32_t count,
                             std::chrono::seconds limit = std::chrono::seconds(20)) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (scan.GetBusySlotCount() != count) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

inline bool WaitUntilIdle(const DiscoveryScan& scan,
                          std::chrono::seconds limit = std::chrono::seconds(20)) {
  return WaitForBusyCount(scan, 0, limit);
}

}  // namespace pathmon::discovery_test
