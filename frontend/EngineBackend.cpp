// SPDX-License-Identifier: Apache-2.0
#include "frontend/EngineBackend.h"

namespace pathmon {

void EngineBackend::ForEachLoopTest(const std::function<void(int, LoopTest&)>& visit) {
  engine_.Tests().ForEach(visit);
}

bool EngineBackend::FindPhoneBySerial(const char* serialNumber, PhoneEntry& entry) {
  return engine_.Phones().FindPhoneBySerial(serialNumber, entry);
}

TestSnapshot EngineBackend::Snapshot(LoopTest& test) {
  std::lock_guard lock(test.Mutex());
  return TestSnapshot{test.IsRunning(), test.Statistics(), test.EndReason(),
                      test.EchoSilence().count()};
}

VoiceQuality EngineBackend::Voice(LoopTest& test) { return test.CurrentVoice(); }

CycleTimings EngineBackend::Timings(LoopTest& test) { return test.CurrentTimings(); }

int EngineBackend::SendStartCommand(int tries, uint32_t peerAddress, LoopTest& test) {
  return pathmon::SendStartCommand(tries, peerAddress, test);
}

int EngineBackend::StartLoopTest(int32_t durationSeconds, int32_t intervalMs,
                                 uint32_t peerAddress, LoopTest* test) {
  return engine_.StartLoopTest(durationSeconds, intervalMs, peerAddress, test);
}

int EngineBackend::StopLoopTest(LoopTest* test) { return pathmon::StopLoopTest(test); }

bool EngineBackend::GetPhoneLog(const char* agent, const char* fileName) {
  return engine_.GetPhoneLog(agent, fileName);
}

void EngineBackend::CreateLoopTestsForPhones() { engine_.CreateLoopTestsForPhones(); }

void EngineBackend::AddObserver(std::shared_ptr<TestObserver> observer) {
  engine_.AddObserver(std::move(observer));
}

int32_t EngineBackend::GetPhoneCount() { return engine_.Phones().GetPhoneCount(); }

bool EngineBackend::StartDiscovery(const char* first, const char* last) {
  return engine_.Discovery().StartDiscovery(first, last);
}

int32_t EngineBackend::GetBusySlotCount() { return engine_.Discovery().GetBusySlotCount(); }

std::vector<PhoneEntry> EngineBackend::Phones() { return engine_.Phones().Entries(); }

std::vector<PhoneNotKept> EngineBackend::PhonesNotKept() { return engine_.Phones().NotKept(); }

int32_t EngineBackend::GetUnprobedCount() { return engine_.Phones().UnprobedCount(); }

ScanCounts EngineBackend::GetScanCounts() { return engine_.Discovery().Counts(); }

void EngineBackend::SetStopCheck(std::function<bool()> stop) {
  engine_.Discovery().SetStopCheck(std::move(stop));
}

std::vector<WriteFailure> EngineBackend::TakeWriteFailures() {
  return engine_.WriteFailureLog().TakeNew();
}

std::vector<WriteFailure> EngineBackend::AllWriteFailures() {
  return engine_.WriteFailureLog().All();
}

}  // namespace pathmon
