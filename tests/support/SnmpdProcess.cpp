// SPDX-License-Identifier: Apache-2.0
#include "support/SnmpdProcess.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "support/Hex.h"
#include "transport/SnmpAccess.h"

namespace pathmon::testing {

namespace {

// The subtree a pass script is registered at: the instance without its last ".0".
std::string ParentOf(const std::string& oid) {
  const auto dot = oid.rfind('.');
  return dot == std::string::npos ? oid : oid.substr(0, dot);
}

}  // namespace

SnmpdProcess::SnmpdProcess(std::string address, std::string community)
    : address_(std::move(address)), community_(std::move(community)) {
  configLines_.push_back("rocommunity " + community_);
}

SnmpdProcess::~SnmpdProcess() { Stop(); }

void SnmpdProcess::SetOctets(const std::string& oid, std::string_view bytes) {
  configLines_.push_back("override " + oid + " octet_str " +
                         (bytes.empty() ? std::string("\"\"") : "0x" + Hex(bytes)));
}

void SnmpdProcess::SetInteger(const std::string& oid, int32_t value) {
  configLines_.push_back("override " + oid + " integer " + std::to_string(value));
}

void SnmpdProcess::SetUnsigned(const std::string& oid, uint32_t value) {
  configLines_.push_back("override " + oid + " uinteger " + std::to_string(value));
}

void SnmpdProcess::SetTimeTicks(const std::string& oid, uint32_t value) {
  configLines_.push_back("override " + oid + " timeticks " + std::to_string(value));
}

void SnmpdProcess::SetObjectId(const std::string& oid, const std::string& value) {
  configLines_.push_back("override " + oid + " object_id " + value);
}

void SnmpdProcess::SetNull(const std::string& oid) {
  configLines_.push_back("override " + oid + " null 0");
}

void SnmpdProcess::SetIpAddress(const std::string& oid, const std::string& dotted) {
  AddPass(oid, "ipaddress", dotted);
}

void SnmpdProcess::SetLongText(const std::string& oid, const std::string& text) {
  AddPass(oid, "string", text);
}

void SnmpdProcess::AddPass(const std::string& oid, const std::string& type,
                           const std::string& value) {
  const std::string script = directory_ + "/pass" + std::to_string(passScripts_++) + ".sh";
  {
    std::ofstream out(script);
    // Answers a get of exactly this instance and nothing else.
    out << "#!/bin/sh\n"
        << "[ \"$1\" = \"-g\" ] && [ \"$2\" = \"" << oid << "\" ] || exit 0\n"
        << "echo '" << oid << "'\n"
        << "echo '" << type << "'\n"
        << "echo '" << value << "'\n";
  }
  chmod(script.c_str(), 0755);
  configLines_.push_back("pass " + ParentOf(oid) + " " + script);
}

bool SnmpdProcess::Start(std::chrono::milliseconds limit) {
  if (directory_.empty() || child_) return false;
  const std::string conf = directory_ + "/snmpd.conf";
  {
    std::ofstream out(conf);
    for (const std::string& line : configLines_) out << line << "\n";
  }
  const std::string log = directory_ + "/snmpd.log";
  const char* program = access("/usr/sbin/snmpd", X_OK) == 0 ? "/usr/sbin/snmpd" : "snmpd";
  child_ = std::make_unique<ChildProcess>(
      std::vector<std::string>{"env", "SNMP_PERSISTENT_DIR=" + directory_, "MIBS=", program, "-f",
                               "-C", "-c", conf, "-Lf", log, "udp:" + address_ + ":161"},
      directory_);

  // Polls with a short-lived client: a fresh daemon answers within a few hundred ms.
  NetSnmpClient probe(100, 0);
  const char* objects[] = {".1.3.6.1.2.1.1.3.0", nullptr};
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    child_->Wait(0);
    if (child_->Exited()) {
      child_.reset();
      return false;
    }
    uint8_t value[kSnmpSlotSize];
    uint32_t length = 0;
    if (probe.SnmpGet(address_.c_str(), community_.c_str(), objects, value, &length) == 1) {
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  Stop();
  return false;
}

void SnmpdProcess::Stop() {
  if (!child_) return;
  child_->Signal(SIGTERM);
  child_->Wait(5000);
  child_.reset();  // killed if still running
}

std::string SnmpdProcess::LogText() const { return ReadFile(directory_ + "/snmpd.log"); }

}  // namespace pathmon::testing
