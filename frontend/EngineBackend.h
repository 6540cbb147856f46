// SPDX-License-Identifier: Apache-2.0
#pragma once
// The engine behind the front ends' two seams: the main window's and command line's
// MainBackend, and the add-phones dialog's DiscoveryAccess.

#include "engine/Engine.h"
#include "frontend/AddPhonesPresenter.h"
#include "frontend/Backend.h"

namespace pathmon {

// Contract: as thread-safe as the engine; holds nothing but the reference.
class EngineBackend final : public MainBackend, public DiscoveryAccess {
 public:
  explicit EngineBackend(Engine& engine) : engine_(engine) {}

  void ForEachLoopTest(const std::function<void(int slot, LoopTest& test)>& visit) override;
  bool FindPhoneBySerial(const char* serialNumber, PhoneEntry& entry) override;
  TestSnapshot Snapshot(LoopTest& test) override;
  VoiceQuality Voice(LoopTest& test) override;
  CycleTimings Timings(LoopTest& test) override;
  int SendStartCommand(int tries, uint32_t peerAddress, LoopTest& test) override;
  int StartLoopTest(int32_t durationSeconds, int32_t intervalMs, uint32_t peerAddress,
                    LoopTest* test) override;
  int StopLoopTest(LoopTest* test) override;
  bool GetPhoneLog(const char* agent, const char* fileName) override;
  void CreateLoopTestsForPhones() override;
  void AddObserver(std::shared_ptr<TestObserver> observer) override;
  std::vector<WriteFailure> TakeWriteFailures() override;
  std::vector<WriteFailure> AllWriteFailures() override;

  int32_t GetPhoneCount() override;
  bool StartDiscovery(const char* first, const char* last) override;
  int32_t GetBusySlotCount() override;
  std::vector<PhoneEntry> Phones() override;
  std::vector<PhoneNotKept> PhonesNotKept() override;
  int32_t GetUnprobedCount() override;
  ScanCounts GetScanCounts() override;
  void SetStopCheck(std::function<bool()> stop) override;

 private:
  Engine& engine_;
};

}  // namespace pathmon
