// SPDX-License-Identifier: Apache-2.0
#include "looptest/SessionRegistry.h"

#include <strings.h>
#include <sys/prctl.h>

#include "transport/Clock.h"
#include "transport/DebugTrace.h"

namespace pathmon {
namespace {

constexpr const char* kModule = "PATHMONRequester";
constexpr int kWaitPolls = 10;  // start and stop waits: ten polls a second apart
// A thread's sleeps may end this much after their deadline so that the kernel can group
// wake-ups. With Linux's default of 50 microseconds the frames' mean lateness cannot go
// below it; the test threads, which sleep to send on time, take 1 microsecond.
constexpr unsigned long kTestThreadTimerSlackNs = 1000;

void vpnTunnelQualityTestTask(int32_t durationSeconds, int32_t intervalMs, uint32_t peerAddress,
                              LoopTest* test) {
  DebugTrace(__LINE__, kModule, nullptr, "vpnTunnelQualityTestTask : Duration %d Interval %d",
             durationSeconds, intervalMs);
  // Only this thread's own sleeps; a failure leaves the default, which still works.
  ::prctl(PR_SET_TIMERSLACK, kTestThreadTimerSlackNs, 0, 0, 0);
  test->Run(durationSeconds, intervalMs, peerAddress);
}

}  // namespace

SessionRegistry::SessionRegistry(Clock& clock, DatagramSender sender)
    : clock_(clock), sender_(std::move(sender)), gridOrigin_(clock.Now()) {}

SessionRegistry::~SessionRegistry() {
  // All tests are told first, so that their threads wind down side by side rather than one
  // after another as each LoopTest's destructor waits for its own.
  for (int i = 0; i < count_; ++i) slots_[i]->SignalStop();
}

LoopTest* SessionRegistry::GetOrCreateLoopTest(const char* prefix, const char* serialNumber) {
  if (LoopTest* existing = FindLoopTest(serialNumber)) return existing;
  auto test = std::make_unique<LoopTest>(clock_, sender_);
  test->Init(prefix, serialNumber);
  LoopTest* raw = test.get();
  return RegisterLoopTest(std::move(test)) ? raw : nullptr;
}

bool SessionRegistry::RegisterLoopTest(std::unique_ptr<LoopTest> test) {
  std::lock_guard lock(mutex_);
  if (count_ >= kRegistrySlots) return false;
  test->SetSendGrid(gridOrigin_, count_);
  slots_[count_++] = std::move(test);
  return true;
}

LoopTest* SessionRegistry::FindLoopTest(const char* serialNumber) {
  if (serialNumber == nullptr) return nullptr;
  std::lock_guard lock(mutex_);
  for (int i = 0; i < count_; ++i) {
    if (strcasecmp(slots_[i]->SerialNumber(), serialNumber) == 0) return slots_[i].get();
  }
  return nullptr;
}

void SessionRegistry::ForEach(const std::function<void(int slot, LoopTest& test)>& visit) {
  std::lock_guard lock(mutex_);
  for (int i = 0; i < count_; ++i) visit(i, *slots_[i]);
}

int SessionRegistry::Count() {
  std::lock_guard lock(mutex_);
  return count_;
}

void SessionRegistry::Dispatch(uint32_t senderAddress, const uint8_t* bytes, int length,
                               std::chrono::nanoseconds age) {
  // Taken before the lock, which may wait.
  const Clock::TimePoint arrival = clock_.Now() - age;
  std::lock_guard lock(mutex_);
  for (int i = 0; i < count_; ++i) {
    if (slots_[i]->PeerAddress() == senderAddress) slots_[i]->OnDatagram(bytes, length, arrival);
  }
}

int SendStartCommand(int tries, uint32_t peerAddress, LoopTest& test) {
  int result = 3;
  {
    std::lock_guard lock(test.Mutex());
    if (test.Replies() != 0) {
      test.ClearReplies();
      result = 2;
    }
  }
  // A failed send does not end the exchange: the next try may get through.
  for (int i = 0; i < tries; ++i) {
    test.SendControl(peerAddress);
    test.GetClock().SleepMs(1000);
    if (test.Replies() != 0) return 1;
  }
  return test.Replies() != 0 ? 1 : result;
}

int StartLoopTest(int32_t durationSeconds, int32_t intervalMs, uint32_t peerAddress,
                  LoopTest* test) {
  if (test == nullptr || test->IsRunning()) return -1;
  if (test->TestThreadBusy()) return -1;  // an earlier thread has not ended yet
  if (!test->StartTestThread([=] {
        vpnTunnelQualityTestTask(durationSeconds, intervalMs, peerAddress, test);
      })) {
    return -1;
  }
  for (int i = 0; i < kWaitPolls; ++i) {
    if (test->IsRunning()) break;
    test->GetClock().SleepMs(1000);
  }
  return test->IsRunning() ? 0 : -1;
}

int StopLoopTest(LoopTest* test) {
  if (test == nullptr) return -1;
  test->RequestStop();
  for (int i = 0; i < kWaitPolls; ++i) {
    if (!test->IsRunning()) break;
    test->GetClock().SleepMs(1000);
  }
  return 0;
}

}  // namespace pathmon
