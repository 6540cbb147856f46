// SPDX-License-Identifier: Apache-2.0
#pragma once
// Many simulated phones in one process with one event loop (epoll, the scalable form of
// poll: a wake-up costs the ready sockets, not the whole fleet): every phone has a UDP socket
// on port 7 (test endpoint) and one on port 161 (SNMP agent) of its own loopback address.
// Delayed echoes and the phones' own deadlines wait in one timer queue; nothing sleeps.
//
// Contract: single-threaded; Bind once, then Run until the stop descriptor turns readable.

#include <memory>
#include <queue>
#include <string>
#include <vector>

#include "sim/PhoneConfig.h"
#include "sim/SnmpAgent.h"
#include "sim/TestEndpoint.h"

namespace pathmon::sim {

// One phone: both endpoints and their sockets.
class SimPhone {
 public:
  SimPhone(const PhoneConfig& config, SimTime started, uint64_t nonceRng, ProcessOrigin& origin);
  ~SimPhone();
  SimPhone(const SimPhone&) = delete;
  SimPhone& operator=(const SimPhone&) = delete;

  // Binds UDP ports `testPort` and `snmpPort` of the phone's address; false with a message.
  bool Bind(uint16_t testPort, uint16_t snmpPort, std::string& error);

  const PhoneConfig& Config() const { return config_; }
  TestEndpoint& Endpoint() { return endpoint_; }
  const TestEndpoint& Endpoint() const { return endpoint_; }
  SnmpAgent& Agent() { return agent_; }
  const SnmpAgent& Agent() const { return agent_; }
  int TestFd() const { return testFd_; }
  int SnmpFd() const { return snmpFd_; }
  // Marks what the test socket sends from now on with tos (set only when it changes).
  void MarkTest(uint8_t tos);

 private:
  PhoneConfig config_;
  TestEndpoint endpoint_;
  SnmpAgent agent_;
  int testFd_ = -1;
  int snmpFd_ = -1;
  int testTos_ = 0;  // the class the test socket sends in now
};

class Simulator {
 public:
  explicit Simulator(const std::vector<PhoneConfig>& phones);
  Simulator(const Simulator&) = delete;  // the phones hold the address of origin_
  Simulator& operator=(const Simulator&) = delete;

  // Ports are parameters so unit tests may use others; phones use 7 and 161.
  bool Bind(std::string& error, uint16_t testPort = 7, uint16_t snmpPort = 161);
  // Serves until `stopFd` is readable; returns 0, or 1 when the event loop fails. May be
  // called again after a return with 0 (pending echoes and deadlines are kept).
  int Run(int stopFd);
  // The counters as one JSON document (format in docs/simulator.md).
  std::string ReportJson() const;

  bool verbose = false;

 private:
  // A datagram to send when due, or (wake) a phone's own deadline to look at.
  struct Pending {
    SimTime due;
    uint64_t order;  // keeps datagrams due at the same moment in the order they were made
    std::size_t phone;
    bool wake = false;
    Outgoing datagram;
    bool operator>(const Pending& other) const {
      return due != other.due ? due > other.due : order > other.order;
    }
  };
  void Queue(std::size_t phone, std::vector<Outgoing>& produced);
  void ScheduleWake(std::size_t phone);
  void RunDue(SimTime now);
  void Trace(std::size_t phone, const EndpointCounters& before, bool offHookBefore,
             const sockaddr_in* from, std::size_t length) const;
  void ReadTest(std::size_t phone);
  void ReadSnmp(std::size_t phone);

  ProcessOrigin origin_;  // the timed outages' origin, for every phone
  std::vector<std::unique_ptr<SimPhone>> phones_;
  std::priority_queue<Pending, std::vector<Pending>, std::greater<>> pending_;
  uint64_t nextOrder_ = 0;
  bool started_ = false;  // the phones' first deadlines are queued
  std::vector<uint8_t> buffer_;
};

}  // namespace pathmon::sim
