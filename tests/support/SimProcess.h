// SPDX-License-Identifier: Apache-2.0
#pragma once
// The simulated Farline phone (farline-phone-sim) as a child process of a test: started with
// the given arguments, ready once it printed READY (every socket bound), stopped with SIGTERM,
// after which its counters per phone are read from the JSON document it prints.
//
// Contract: one thread drives an instance, and that thread outlives it (the sim is ended when
// the thread that started it ends, so a crashed test leaves no phone behind). Use test
// addresses of your own, so tests running in parallel never bind the same address.

#include <map>
#include <string>
#include <vector>

#include "support/ChildProcess.h"

namespace pathmon::testing {

struct SimPhoneCounters {
  std::string address, serial;
  long controlMessages = 0, framesReceived = 0, badSignature = 0, framesEchoed = 0,
       framesDropped = 0, noncesIssued = 0, snmpRequests = 0, extraEchoes = 0;
  std::map<int, long> controlByDscp, framesByDscp;  // by the class they arrived in
};

// Starts farline-phone-sim (path in the macro PATHMON_SIM_EXE, defined by tests/CMakeLists.txt)
// with the given arguments and waits (up to 10 s) for its READY line; a failure to start is a
// gtest ADD_FAILURE with the sim's stderr, and Ok() is false.
class SimProcess {
 public:
  explicit SimProcess(std::vector<std::string> args);
  // The sim, if still running, is killed with its ChildProcess.

  bool Ok() const { return ready_; }
  // SIGTERM, wait for exit, parse the JSON; keyed by phone address. Empty (with a gtest
  // failure) when the sim did not run, did not exit 0 or printed no valid document.
  std::map<std::string, SimPhoneCounters> Stop();
  pid_t Pid() const { return child_.Pid(); }
  // What the sim wrote on standard error so far.
  std::string Stderr() const { return child_.Stderr(); }

 private:
  ChildProcess child_;
  bool ready_ = false;
};

// Parses the sim's JSON report; false when the text is not such a document.
bool ParseSimReport(const std::string& json, std::map<std::string, SimPhoneCounters>& out);

}  // namespace pathmon::testing
