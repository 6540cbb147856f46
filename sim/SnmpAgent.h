// SPDX-License-Identifier: Apache-2.0
#pragma once
// The phone's SNMP version 1 agent (UDP port 161) without its socket. Requests are decoded
// and responses encoded with net-snmp's own PDU routines; the agent answers GetRequests for
// the 16 discovery objects and the two log columns.
//
// Contract: single-threaded. InitSnmpLibrary() must have run once before the first Answer.

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "sim/PhoneConfig.h"

namespace pathmon::sim {

// Sets MIBS to empty, keeps the library from reading configuration or persistent files, and
// initialises it. Safe to call more than once.
void InitSnmpLibrary();

class SnmpAgent {
 public:
  using Time = std::chrono::steady_clock::time_point;

  SnmpAgent(const PhoneConfig& config, Time started);

  // The encoded response to one received packet, or nothing when the agent stays silent
  // (undecodable packet, not version 1, wrong community, silent agent, not a request).
  std::optional<std::vector<uint8_t>> Answer(const uint8_t* data, std::size_t length, Time now);

  long RequestsAnswered() const { return answered_; }

 private:
  struct Value {
    unsigned char type = 0;
    std::string bytes;                // octet string or IpAddress octets
    long number = 0;                  // integer family; the low 32 bits of a Counter64
    unsigned long high = 0;           // the high 32 bits of a Counter64
    std::vector<unsigned long> name;  // OBJECT IDENTIFIER
    bool liveUpTime = false;          // hundredths of a second since the phone started
  };
  static Value MakeValue(const ExtraObject& extra);
  std::optional<Value> Lookup(const std::vector<unsigned long>& name, Time now) const;

  PhoneConfig config_;
  Time started_;
  std::map<std::vector<unsigned long>, Value> objects_;
  long answered_ = 0;
};

}  // namespace pathmon::sim
