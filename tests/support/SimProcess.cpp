// SPDX-License-Identifier: Apache-2.0
#include "support/SimProcess.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <nlohmann/json.hpp>

namespace pathmon::testing {
namespace {

constexpr int kReadyLimitMs = 10000;
constexpr int kExitLimitMs = 10000;

}  // namespace

bool ParseSimReport(const std::string& json, std::map<std::string, SimPhoneCounters>& out) {
  const nlohmann::json doc = nlohmann::json::parse(json, nullptr, false);
  if (!doc.is_object() || !doc.contains("phones") || !doc["phones"].is_array()) return false;
  std::map<std::string, SimPhoneCounters> parsed;
  try {
    for (const nlohmann::json& phone : doc["phones"]) {
      SimPhoneCounters c;
      c.address = phone.at("address").get<std::string>();
      c.serial = phone.at("serial").get<std::string>();
      c.controlMessages = phone.at("controlMessages").get<long>();
      c.framesReceived = phone.at("framesReceived").get<long>();
      c.badSignature = phone.at("badSignature").get<long>();
      c.framesEchoed = phone.at("framesEchoed").get<long>();
      c.framesDropped = phone.at("framesDropped").get<long>();
      c.noncesIssued = phone.at("noncesIssued").get<long>();
      c.snmpRequests = phone.at("snmpRequests").get<long>();
      c.extraEchoes = phone.at("extraEchoes").get<long>();
      for (const auto& [dscp, count] : phone.at("controlByDscp").items()) {
        c.controlByDscp[std::stoi(dscp)] = count.get<long>();
      }
      for (const auto& [dscp, count] : phone.at("framesByDscp").items()) {
        c.framesByDscp[std::stoi(dscp)] = count.get<long>();
      }
      parsed[c.address] = c;
    }
  } catch (const nlohmann::json::exception&) {
    return false;
  }
  out = std::move(parsed);
  return true;
}

namespace {

std::vector<std::string> SimCommand(std::vector<std::string> args) {
  args.insert(args.begin(), PATHMON_SIM_EXE);
  return args;
}

}  // namespace

SimProcess::SimProcess(std::vector<std::string> args)
    : child_(SimCommand(std::move(args)), "", /*pipeStdout=*/true) {
  ready_ = child_.ReadPipeUntil("READY\n", kReadyLimitMs);
  if (ready_) return;
  if (child_.ReadPipeToEnd(0)) {  // its output ended: it exited before READY
    ADD_FAILURE() << "farline-phone-sim exited before READY (exit code "
                  << child_.Wait(kExitLimitMs) << "); stderr:\n"
                  << Stderr();
  } else {
    ADD_FAILURE() << "farline-phone-sim did not report READY within " << kReadyLimitMs / 1000
                  << " s; stderr:\n"
                  << Stderr();
  }
}

std::map<std::string, SimPhoneCounters> SimProcess::Stop() {
  std::map<std::string, SimPhoneCounters> counters;
  if (!Ok()) {
    ADD_FAILURE() << "farline-phone-sim is not running";
    return counters;
  }
  ready_ = false;
  child_.Signal(SIGTERM);
  if (!child_.ReadPipeToEnd(kExitLimitMs)) {
    ADD_FAILURE() << "farline-phone-sim did not exit within " << kExitLimitMs / 1000
                  << " s of SIGTERM; stderr:\n"
                  << Stderr();
    return counters;
  }
  const int status = child_.Wait(kExitLimitMs);
  if (status != 0) {
    ADD_FAILURE() << "farline-phone-sim ended with exit status " << status
                  << " (-1: by a signal); stderr:\n"
                  << Stderr();
    return counters;
  }
  const std::string& output = child_.Piped();
  if (!ParseSimReport(output.substr(output.find("READY\n") + 6), counters)) {
    ADD_FAILURE() << "farline-phone-sim printed no valid report:\n" << output;
  }
  return counters;
}

}  // namespace pathmon::testing
