// SPDX-License-Identifier: Apache-2.0
#include "engine/Engine.h"

#include <cstring>

#include "engine/HistoryFile.h"
#include "engine/VoiceHistory.h"
#include "transport/Clock.h"

namespace pathmon {

Engine::Engine() : Engine(SystemClock(), nullptr) {}

Engine::Engine(Clock& clock, SnmpClient& snmp) : Engine(clock, &snmp) {}

Engine::Engine(Clock& clock, SnmpClient* snmp)
    : ownSnmp_(snmp == nullptr ? std::make_unique<NetSnmpClient>() : nullptr),
      clock_(clock),
      snmp_(snmp != nullptr ? *snmp : *ownSnmp_),
      directory_(snmp_, clock_),
      registry_(clock_,
                [this](const uint8_t* data, int length, uint32_t peer) {
                  return socket_.Send(data, length, peer);
                }),
      socket_(registry_),
      scan_(directory_, clock_) {
  // Before any probe thread uses SNMP.
  if (ownSnmp_ != nullptr) InitSnmpLibrary();
}

Engine::~Engine() { socket_.Stop(); }

void Engine::InitPhoneList() { directory_.SetCommunity(kDefaultCommunity); }

int Engine::SocketStart() {
  socket_.SetDscp(settings_.dscp);
  return socket_.Start();
}

void Engine::SocketStop() { socket_.Stop(); }

int Engine::SocketSend(const uint8_t* data, int length, uint32_t peerAddress) {
  return socket_.Send(data, length, peerAddress);
}

void Engine::SetFileOpener(FileOpener* opener) {
  std::lock_guard lock(mutex_);
  opener_ = opener;
}

bool Engine::GetPhoneLog(const char* agent, const char* fileName) {
  FileOpener* opener;
  {
    std::lock_guard lock(mutex_);
    opener = opener_ != nullptr ? opener_ : &xdgOpener_;
  }
  return pathmon::GetPhoneLog(snmp_, agent, directory_.GetCommunity(), fileName, *opener,
                              writeFailures_);
}

void Engine::CreateLoopTestsForPhones() { directory_.CreateLoopTestsForPhones(registry_); }

void Engine::EnableHistory(const std::string& folder) {
  AddObserver(std::make_shared<HistoryWriter>(folder, LocalTimeNow, writeFailures_));
  AddObserver(std::make_shared<VoiceHistoryWriter>(folder, writeFailures_, settings_.dscp));
}

void Engine::AddObserver(std::shared_ptr<TestObserver> observer) {
  std::lock_guard lock(mutex_);
  observers_.push_back(std::move(observer));
}

int Engine::StartLoopTest(int32_t durationSeconds, int32_t intervalMs, uint32_t peerAddress,
                          LoopTest* test) {
  if (test == nullptr) return -1;
  PhoneEntry entry;
  std::memset(&entry, 0, sizeof entry);
  directory_.FindPhoneBySerial(test->SerialNumber(), entry);
  entry.userName[sizeof entry.userName - 1] = '\0';
  TestObservers observers;
  {
    std::lock_guard lock(mutex_);
    observers = observers_;
  }
  test->SetObservers(entry.userName, std::move(observers));
  return pathmon::StartLoopTest(durationSeconds, intervalMs, peerAddress, test);
}

}  // namespace pathmon
