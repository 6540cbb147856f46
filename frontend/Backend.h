// SPDX-License-Identifier: Apache-2.0
#pragma once
// The engine as both front ends (the main window and the command line) see it: the
// registry's tests, the directory's phones, the control exchange, starting and stopping
// tests, logs. One seam, so front-end logic is tested against a fake fleet.

#include <cstdint>
#include <functional>
#include <memory>

#include <vector>

#include "looptest/LoopTest.h"
#include "transport/FileWrite.h"

namespace pathmon {

struct PhoneEntry;

inline constexpr int kStartTries = 3;
inline constexpr int32_t kTestIntervalMs = 20;

// A test's state and figures, read together under its lock.
struct TestSnapshot {
  bool running = false;
  TestStatistics stats;
  TestEnd end = TestEnd::kNone;  // why the last test ended
  int64_t echoSilenceMs = 0;     // LoopTest::EchoSilence: 0 within the grace or when idle
};

// From this much silence on, a running test's row says so.
inline constexpr int64_t kSilenceShownMs = 2000;
// "no echo for N s" (whole seconds) once a running test has had no echo for
// kSilenceShownMs; empty otherwise.
inline std::string EchoSilenceText(const TestSnapshot& snapshot) {
  if (!snapshot.running || snapshot.echoSilenceMs < kSilenceShownMs) return {};
  return "no echo for " + std::to_string(snapshot.echoSilenceMs / 1000) + " s";
}

// Contract: called on the front end's thread, StartLoopTest and SendStartCommand also from
// helper threads of the command line; an implementation is as thread-safe as the engine.
class MainBackend {
 public:
  virtual ~MainBackend() = default;
  // Every registered LoopTest in slot order, under the registry lock.
  virtual void ForEachLoopTest(const std::function<void(int slot, LoopTest& test)>& visit) = 0;
  virtual bool FindPhoneBySerial(const char* serialNumber, PhoneEntry& entry) = 0;
  virtual TestSnapshot Snapshot(LoopTest& test) = 0;
  // The running cycle's voice figures so far, and its frames' instants (see
  // LoopTest::CurrentVoice); assessing them costs a copy and a sort of the cycle's frames,
  // so they are asked for when shown, not with every snapshot.
  virtual VoiceQuality Voice(LoopTest& /*test*/) { return {}; }
  virtual CycleTimings Timings(LoopTest& /*test*/) { return {}; }
  virtual int SendStartCommand(int tries, uint32_t peerAddress, LoopTest& test) = 0;
  // Starts the test; it reports to every observer added before.
  virtual int StartLoopTest(int32_t durationSeconds, int32_t intervalMs, uint32_t peerAddress,
                            LoopTest* test) = 0;
  virtual int StopLoopTest(LoopTest* test) = 0;
  virtual bool GetPhoneLog(const char* agent, const char* fileName) = 0;
  virtual void CreateLoopTestsForPhones() = 0;
  // Every test started afterwards reports to observer too.
  virtual void AddObserver(std::shared_ptr<TestObserver> observer) = 0;
  // The history and log files that failed for the first time since the last call.
  virtual std::vector<WriteFailure> TakeWriteFailures() { return {}; }
  // Every file that failed, with its count of lost writes.
  virtual std::vector<WriteFailure> AllWriteFailures() { return {}; }
};

}  // namespace pathmon
