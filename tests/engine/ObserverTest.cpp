// SPDX-License-Identifier: Apache-2.0
// A test's observers run outside every lock: a history write that hangs holds up neither
// the receive path nor any other phone's figures.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <regex>
#include <thread>

#include "engine/HistoryFile.h"
#include "looptest/SessionRegistry.h"
#include "support/FakeClock.h"
#include "support/TempDir.h"

namespace pathmon {
namespace {

using testing::FakeClock;

constexpr uint32_t kPhoneA = 0x0A00007F;  // 127.0.0.10 in network order
constexpr uint32_t kPhoneB = 0x0B00007F;

std::vector<uint8_t> Echo(uint32_t sequence, uint32_t sendTick) {
  std::vector<uint8_t> d(kDatagramSize, 0);
  WriteLe32(d.data() + kOffsetSequence, sequence);
  WriteLe32(d.data() + kOffsetSendTick, sendTick);
  return d;
}

// A flag that threads wait on, for at most a given time.
class Gate {
 public:
  void Open() {
    std::lock_guard lock(mutex_);
    open_ = true;
    changed_.notify_all();
  }
  bool Wait(std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, limit, [this] { return open_; });
  }
  bool IsOpen() {
    std::lock_guard lock(mutex_);
    return open_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool open_ = false;
};

TEST(ObserverDelivery, AHangingHistoryWriteHoldsUpNoOtherPhone) {
  testing::TempDir dir("observer");

  FakeClock clock;
  clock.SetRealSleepUs(2000);  // the start and stop polls let the test threads run
  // Phone B's test parks in its sixth send, so that nothing but this test moves the clock
  // while phone A's history write hangs.
  Gate bParked, releaseB;
  std::atomic<uint32_t> parkedTick{0};
  SessionRegistry registry(clock, [&](const uint8_t* data, int, uint32_t peer) {
    if (peer == kPhoneB && ReadLe32(data + kOffsetSequence) == 5) {
      parkedTick.store(ReadLe32(data + kOffsetSendTick));
      bParked.Open();
      releaseB.Wait(std::chrono::seconds(10));
    }
    return 0;
  });
  LoopTest* a = registry.GetOrCreateLoopTest(nullptr, "SN-A");
  LoopTest* b = registry.GetOrCreateLoopTest(nullptr, "SN-B");

  // A's history line waits for its time stamp for up to 2 s.
  Gate writing, releaseWrite;
  WriteFailures failures;
  a->SetObservers("alice", {std::make_shared<HistoryWriter>(
                               dir.Path(),
                               [&] {
                                 writing.Open();
                                 releaseWrite.Wait(std::chrono::seconds(2));
                                 return LocalTimeNow();
                               },
                               failures)});
  ASSERT_EQ(StartLoopTest(1, 20, kPhoneA, a), 0);
  ASSERT_TRUE(writing.Wait(std::chrono::seconds(5)));
  ASSERT_EQ(StartLoopTest(0, 20, kPhoneB, b), 0);
  ASSERT_TRUE(bParked.Wait(std::chrono::seconds(5)));

  // The echo of B's sixth frame arrives 25 ms after it left, on the receive thread.
  clock.AdvanceMs(25);
  std::thread receive([&] {
    auto echo = Echo(5, parkedTick.load());
    registry.Dispatch(kPhoneB, echo.data(), static_cast<int>(echo.size()));
  });
  const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(1);
  while (b->Statistics().received == 0 && std::chrono::steady_clock::now() < limit) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_FALSE(releaseWrite.IsOpen());
  EXPECT_EQ(b->Statistics().received, 1);  // counted while A's write still hangs
  EXPECT_EQ(b->Statistics().lastRtt, 25);  // with its true round-trip time

  releaseWrite.Open();
  receive.join();
  releaseB.Open();
  EXPECT_EQ(StopLoopTest(b), 0);
  EXPECT_EQ(StopLoopTest(a), 0);

  // A's line was written once the write went on.
  // No frame of A's had an echo. How many it sent before its second ran out on the shared
  // fake clock depends on how the threads were scheduled, so only the loss is fixed.
  std::smatch figures;
  const std::string line = testing::ReadFile(dir.File("alice_SN-A.txt"));
  const std::regex sentAndLost("<PATHMON>.* SEND: *([0-9]+) LOST: *([0-9]+) ");
  ASSERT_TRUE(std::regex_search(line, figures, sentAndLost)) << line;
  EXPECT_GE(std::stoi(figures[1].str()), 1);
  EXPECT_EQ(figures[1].str(), figures[2].str()) << line;
}

}  // namespace
}  // namespace pathmon
