// SPDX-License-Identifier: Apache-2.0
#pragma once
// Debian's snmpd as a phone's SNMP agent for a test: a configuration of fixed objects in a
// temporary directory, the daemon in the foreground on udp:<address>:161, and a wait until
// it answers. The agent's persistent files, configuration and log stay in that directory,
// which Stop removes.
//
// Contract: one thread drives an instance. Objects are set before Start; the daemon reads
// its configuration once.

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "support/ChildProcess.h"
#include "support/TempDir.h"

namespace pathmon::testing {

class SnmpdProcess {
 public:
  SnmpdProcess(std::string address, std::string community);
  ~SnmpdProcess();
  SnmpdProcess(const SnmpdProcess&) = delete;
  SnmpdProcess& operator=(const SnmpdProcess&) = delete;

  // Exact instances (the identifiers end in ".0" or a row number and ".0").
  void SetOctets(const std::string& oid, std::string_view bytes);  // any bytes, empty too
  void SetInteger(const std::string& oid, int32_t value);
  void SetUnsigned(const std::string& oid, uint32_t value);
  void SetTimeTicks(const std::string& oid, uint32_t value);
  void SetObjectId(const std::string& oid, const std::string& value);
  void SetNull(const std::string& oid);
  // Through a pass script, for what a configuration line cannot carry: an IpAddress, and
  // printable texts longer than a configuration line (up to about 4000 characters).
  void SetIpAddress(const std::string& oid, const std::string& dotted);
  void SetLongText(const std::string& oid, const std::string& text);

  // Starts the daemon and waits until it answers a get of sysUpTime; false (with the
  // daemon stopped) if it exits or does not answer within the limit.
  bool Start(std::chrono::milliseconds limit = std::chrono::seconds(15));
  void Stop();

  const std::string& address() const { return address_; }
  const std::string& community() const { return community_; }
  std::string LogText() const;

 private:
  void AddPass(const std::string& oid, const std::string& type, const std::string& value);

  std::string address_;
  std::string community_;
  std::vector<std::string> configLines_;
  TempDir dir_{"snmpd"};
  const std::string directory_ = dir_.Path();
  int passScripts_ = 0;
  std::unique_ptr<ChildProcess> child_;  // the running daemon
};

}  // namespace pathmon::testing
