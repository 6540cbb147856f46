// SPDX-License-Identifier: Apache-2.0
#include "support/SnmpdProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "transport/SnmpAccess.h"

extern char** environ;

namespace pathmon::testing {

namespace {

std::string Hex(std::string_view bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 0x0f];
  }
  return out;
}

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
  if (directory_.empty() || pid_ > 0) return false;
  const std::string conf = directory_ + "/snmpd.conf";
  {
    std::ofstream out(conf);
    for (const std::string& line : configLines_) out << line << "\n";
  }
  const std::string log = directory_ + "/snmpd.log";
  const std::string output = directory_ + "/snmpd.out";
  const std::string endpoint = "udp:" + address_ + ":161";

  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string_view entry(*e);
    if (entry.starts_with("SNMP_PERSISTENT_DIR=") || entry.starts_with("MIBS=")) continue;
    env.emplace_back(entry);
  }
  env.push_back("SNMP_PERSISTENT_DIR=" + directory_);
  env.push_back("MIBS=");
  std::vector<char*> envp;
  for (std::string& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);

  std::vector<std::string> args = {"snmpd", "-f", "-C", "-c", conf, "-Lf", log, endpoint};
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
  pid_t pid = -1;
  const char* program = access("/usr/sbin/snmpd", X_OK) == 0 ? "/usr/sbin/snmpd" : "snmpd";
  const int rc = posix_spawnp(&pid, program, &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return false;
  pid_ = pid;

  // Polls with a short-lived client: a fresh daemon answers within a few hundred ms.
  NetSnmpClient probe(100, 0);
  const char* objects[] = {".1.3.6.1.2.1.1.3.0", nullptr};
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
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
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  int status = 0;
  for (int i = 0; i < 500; ++i) {  // up to 5 s, then it is killed
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  kill(pid_, SIGKILL);
  waitpid(pid_, &status, 0);
  pid_ = -1;
}

std::string SnmpdProcess::LogText() const { return ReadFile(directory_ + "/snmpd.log"); }

}  // namespace pathmon::testing
