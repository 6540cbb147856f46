// SPDX-License-Identifier: Apache-2.0
#pragma once
// An SnmpClient held in memory: agents are (address, community) pairs with objects of typed
// values. It answers as NetSnmpClient stores values (integers as 4 host-order bytes, octet
// values as their bytes, cut to the slot, each with its ASN.1 tag), all objects or none,
// and counts every request. Requests to chosen agents can be held back until the test lets
// them go, so a test can see many requests in flight at once.
//
// Contract: thread-safe; any number of threads may call SnmpGet while a test reads the
// counts. A request to an unknown address or with a wrong community gets no answer (once let
// go: kSnmpNoAnswer), as a silent agent's after its time-out; one for an object the agent does
// not know fails (0), as an SNMPv1 agent's noSuchName.

#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "transport/SnmpAccess.h"

namespace pathmon::testing {

class FakeSnmpClient final : public SnmpClient {
 public:
  struct Request {
    std::string agent;
    std::string community;
    std::vector<std::string> objects;
    std::size_t slotSize = 0;
  };

  // Octet values: OCTET STRING, IpAddress and the like all arrive as bytes.
  void SetOctets(const std::string& agent, const std::string& community, const std::string& oid,
                 std::string_view bytes);
  // Integer-family values (INTEGER, Counter32, Gauge32, TimeTicks, Unsigned32).
  void SetInteger(const std::string& agent, const std::string& community, const std::string& oid,
                  int32_t value);
  // Any other type, by its ASN.1 tag (0x46 Counter64, 0x06 OBJECT IDENTIFIER, 0x05 NULL...).
  void SetTyped(const std::string& agent, const std::string& community, const std::string& oid,
                uint8_t type, std::string_view bytes);
  void SetIpAddress(const std::string& agent, const std::string& community,
                    const std::string& oid, uint8_t a, uint8_t b, uint8_t c, uint8_t d);
  void Remove(const std::string& agent, const std::string& community, const std::string& oid);

  // Every request fails while set, with result: 0 as if the agent answered with an error,
  // kSnmpNoAnswer as if none answered, kSnmpNoSession as if no session could be opened.
  void SetFailing(bool failing, int result = 0);
  // Requests after the first n (counted from now) fail; a negative n never fails.
  void FailAfter(int n);
  // Requests to this agent (or to every agent) wait, already counted, until let go. An agent
  // once let go by Release is never held again.
  void Hold(const std::string& agent);
  void HoldAll();
  void Release(const std::string& agent);
  void ReleaseAll();
  // Waits (bounded) until n requests have arrived, held or not.
  bool WaitForRequests(std::size_t n);

  int RequestCount() const;
  int RequestCount(const std::string& agent) const;
  std::vector<Request> Requests() const;
  std::vector<std::string> Agents() const;  // the address of each request, in arrival order
  void ClearRequests();

  int SnmpGet(const char* agent, const char* community, const char* const* objects,
              uint8_t* values, uint32_t* lengths, std::size_t slotSize = kSnmpSlotSize,
              uint8_t* types = nullptr) override;

 private:
  using Key = std::tuple<std::string, std::string, std::string>;  // agent, community, oid

  mutable std::mutex mutex_;
  std::map<Key, std::string> values_;
  std::map<Key, uint8_t> types_;
  std::vector<Request> requests_;
  std::condition_variable changed_;
  std::set<std::string> held_;
  std::set<std::string> released_;
  bool holdAll_ = false;
  bool failing_ = false;
  int failResult_ = 0;
  int remainingBeforeFailure_ = -1;
};

}  // namespace pathmon::testing
