#pragma once
// Fakes for the directory and scan tests: SNMP agents held in memory, whose probes can be
// held back until a test lets them go, and a clock that records every pause it is asked
// for without waiting.

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "discovery/PhoneListMgr.h"
#include "transport/Clock.h"
#include "transport/SnmpAccess.h"

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

// SNMP agents by address. An address without an agent fails the request, as a silent one
// would after its time-out.
class FakeAgents final : public SnmpClient {
 public:
  void SetPhone(const std::string& address, const PhoneAnswer& answer) {
    std::lock_guard lock(mutex_);
    phones_[address] = answer;
  }
  // Probes of this address wait until Release (or ReleaseAll).
  void Hold(const std::string& address) {
    std::lock_guard lock(mutex_);
    held_.insert(address);
  }
  void HoldAll() {
    std::lock_guard lock(mutex_);
    holdAll_ = true;
  }
  void Release(const std::string& address) {
    std::lock_guard lock(mutex_);
    held_.erase(address);
    released_.insert(address);
    changed_.notify_all();
  }
  void ReleaseAll() {
    std::lock_guard lock(mutex_);
    holdAll_ = false;
    held_.clear();
    changed_.notify_all();
  }
  // Waits (bounded) until `n` probes have reached the agent side, held or not.
  bool WaitForCalls(std::size_t n) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(20), [&] { return calls_.size() >= n; });
  }

  std::vector<std::string> Calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
  }
  std::vector<std::string> LastObjects() const {
    std::lock_guard lock(mutex_);
    return lastObjects_;
  }
  std::string LastCommunity() const {
    std::lock_guard lock(mutex_);
    return lastCommunity_;
  }

  int SnmpGet(const char* agent, const char* community, const char* const* objects,
              uint8_t* values, uint32_t* lengths, std::size_t slotSize,
              uint8_t* types) override {
    PhoneAnswer answer;
    bool known = false;
    {
      std::unique_lock lock(mutex_);
      calls_.emplace_back(agent);
      lastCommunity_ = community;
      lastObjects_.clear();
      for (const char* const* o = objects; *o != nullptr; ++o) lastObjects_.emplace_back(*o);
      changed_.notify_all();
      changed_.wait(lock, [&] {
        return released_.count(agent) != 0 || (!holdAll_ && held_.count(agent) == 0);
      });
      auto it = phones_.find(agent);
      if (it != phones_.end()) {
        answer = it->second;
        known = true;
      }
    }
    if (!known) return 0;
    for (std::size_t i = 0; i < answer.size(); ++i) {
      std::size_t n = std::min(answer[i].size(), slotSize);  // the real client cuts too
      if (n > 0) std::memcpy(values + slotSize * i, answer[i].data(), n);
      lengths[i] = static_cast<uint32_t>(n);
      if (types != nullptr) types[i] = kAsnOctetString;  // the probe only checks the serial's
    }
    return 1;
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::map<std::string, PhoneAnswer> phones_;
  std::set<std::string> held_;
  std::set<std::string> released_;
  bool holdAll_ = false;
  std::vector<std::string> calls_;
  std::vector<std::string> lastObjects_;
  std::string lastCommunity_;
};

// Waits for real worker threads, bounded: polls the busy count, never a fixed sleep.
inline bool WaitUntilIdle(const DiscoveryScan& scan,
                          std::chrono::seconds limit = std::chrono::seconds(20)) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (scan.GetBusySlotCount() != 0) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

inline bool WaitForBusyCount(const DiscoveryScan& scan, int32_t count,
                             std::chrono::seconds limit = std::chrono::seconds(20)) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (scan.GetBusySlotCount() != count) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

}  // namespace pathmon::discovery_test
