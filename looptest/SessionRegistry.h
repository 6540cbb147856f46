// SPDX-License-Identifier: Apache-2.0
#pragma once
// The registry of every LoopTest (one per phone, 128 slots, filled in order, never
// emptied) and the control exchange that starts and stops a phone's test thread.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "looptest/LoopTest.h"
#include "transport/PATHMONSocket.h"

namespace pathmon {

inline constexpr int kRegistrySlots = 128;

// Contract: the registry lock guards the slots; it lives as long as the registry, so the
// receive thread can never see it destroyed. No caller may hold a LoopTest's lock or the
// directory lock while calling into the registry. The LoopTests live as long as the
// registry; its destructor waits for their test threads to end.
class SessionRegistry final : public DatagramSink {
 public:
  SessionRegistry(Clock& clock, DatagramSender sender);
  ~SessionRegistry() override;

  // The LoopTest of serialNumber (letter case ignored), made and registered when there is
  // none. nullptr when the registry is full: the new LoopTest is not kept.
  LoopTest* GetOrCreateLoopTest(const char* prefix, const char* serialNumber);
  // Takes ownership; false (and the LoopTest is destroyed) when no slot is free.
  bool RegisterLoopTest(std::unique_ptr<LoopTest> test);
  LoopTest* FindLoopTest(const char* serialNumber);

  // Calls visit(slot, test) for every filled slot in slot order, under the registry lock.
  void ForEach(const std::function<void(int slot, LoopTest& test)>& visit);
  int Count();
  std::mutex& Mutex() { return mutex_; }

  // Hands the datagram to every LoopTest whose peer address is the sender's, in slot order,
  // with its arrival instant: age before now on the registry's clock.
  void Dispatch(uint32_t senderAddress, const uint8_t* bytes, int length,
                std::chrono::nanoseconds age) override;
  // A datagram that arrives now.
  void Dispatch(uint32_t senderAddress, const uint8_t* bytes, int length) {
    Dispatch(senderAddress, bytes, length, std::chrono::nanoseconds(0));
  }

 private:
  Clock& clock_;
  DatagramSender sender_;
  std::mutex mutex_;
  std::unique_ptr<LoopTest> slots_[kRegistrySlots];
  int count_ = 0;
  // The tests' send grid (LoopTest::SetSendGrid) starts when the registry is made, so two
  // processes' grids are not in step.
  const Clock::TimePoint gridOrigin_;
};

// The control exchange: up to `tries` control messages one second apart. 1 when the phone
// answered, 2 when datagrams had been counted before but none came now, 3 when none came.
int SendStartCommand(int tries, uint32_t peerAddress, LoopTest& test);
// Starts the test thread and waits up to 10 s for it to run; 0 when running, -1 otherwise.
// The test reports to the observers set with LoopTest::SetObservers.
int StartLoopTest(int32_t durationSeconds, int32_t intervalMs, uint32_t peerAddress,
                  LoopTest* test);
// Asks the test to stop and waits up to 10 s for it; -1 for nullptr.
int StopLoopTest(LoopTest* test);

}  // namespace pathmon
