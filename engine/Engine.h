// SPDX-License-Identifier: Apache-2.0
#pragma once
// The engine: everything one session of pathmon owns. The desktop program and pathmon-cli
// each build one and hand it to their front end; tests build as many as they like, each
// with its own state.

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "discovery/PhoneListMgr.h"
#include "engine/Settings.h"
#include "looptest/LoopTest.h"
#include "looptest/SessionRegistry.h"
#include "transport/PATHMONSocket.h"
#include "transport/FileWrite.h"
#include "transport/PhoneLog.h"
#include "transport/SnmpAccess.h"

namespace pathmon {

class Clock;

// Owns the clock (by reference), the SNMP client, the phone directory, the session
// registry, the test socket with its receive thread, the discovery scan, the log opener,
// the record of files that could not be written, the session settings and the observers
// that every test started through it reports to.
//
// Contract: built and destroyed on one thread (the user-interface thread), which also
// starts and stops the socket and sets the opener. The parts keep their own contracts;
// AddObserver and StartLoopTest may be called from any thread. The destructor ends the
// scan's workers, the receive thread and every test thread before their state goes.
class Engine {
 public:
  // The machine's clock, and net-snmp (initialised here) for the SNMP reads.
  Engine();
  // Another clock and SNMP client (tests), which must outlive the engine.
  Engine(Clock& clock, SnmpClient& snmp);
  ~Engine();
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  Clock& GetClock() { return clock_; }
  SnmpClient& Snmp() { return snmp_; }
  PhoneDirectory& Phones() { return directory_; }
  DiscoveryScan& Discovery() { return scan_; }
  SessionRegistry& Tests() { return registry_; }
  TestSocket& Socket() { return socket_; }
  ProgramSettings& SessionSettings() { return settings_; }

  void InitPhoneList();  // the community back to "orchid"
  // 0 when the socket and its receive thread run, its datagrams marked with the settings'
  // class; -1 otherwise.
  int SocketStart();
  void SocketStop();
  int SocketSend(const uint8_t* data, int length, uint32_t peerAddress);  // 0 or -4

  // What shows a fetched log; nullptr for xdg-open. It must outlive its use.
  void SetFileOpener(FileOpener* opener);
  // The phone's log, read with the directory's community, into fileName, then shown.
  bool GetPhoneLog(const char* agent, const char* fileName);
  // Every file for the phones (history lines, logs) that could not be written.
  WriteFailures& WriteFailureLog() { return writeFailures_; }
  void CreateLoopTestsForPhones();

  // Every test started afterwards reports to observer too.
  void AddObserver(std::shared_ptr<TestObserver> observer);
  // Every test started afterwards writes its phone's history files in folder (empty: the
  // current directory): the history file's lines and the voice history, a line that cannot
  // be written recorded in WriteFailureLog. The voice history names the session's DSCP class:
  // call it once SessionSettings are set.
  void EnableHistory(const std::string& folder);
  // The registry's StartLoopTest; the test reports to the engine's observers, its events
  // carrying the user name the directory has for the phone now.
  int StartLoopTest(int32_t durationSeconds, int32_t intervalMs, uint32_t peerAddress,
                    LoopTest* test);

 private:
  Engine(Clock& clock, SnmpClient* snmp);

  // Declared in the order they are built; destroyed the other way round, so the scan's
  // workers end before the directory goes and the receive thread before the registry.
  std::unique_ptr<SnmpClient> ownSnmp_;  // only when none was given
  Clock& clock_;
  SnmpClient& snmp_;
  ProgramSettings settings_;
  XdgFileOpener xdgOpener_;
  WriteFailures writeFailures_;
  std::mutex mutex_;  // guards opener_ and observers_
  FileOpener* opener_ = nullptr;
  TestObservers observers_;
  PhoneDirectory directory_;
  SessionRegistry registry_;
  TestSocket socket_;
  DiscoveryScan scan_;
};

}  // namespace pathmon
