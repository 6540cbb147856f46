// SPDX-License-Identifier: Apache-2.0
// The registry, the datagram dispatch and the control exchange, on a fake clock.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <vector>

#include "looptest/SessionRegistry.h"
#include "support/FakeClock.h"
#include "support/RecordingObserver.h"
#include "support/TraceRecorder.h"

namespace pathmon {
namespace {

using testing::Event;
using testing::FakeClock;
using testing::RecordingObserver;
using testing::TraceRecorder;

constexpr uint32_t kPhoneA = 0x0A00007F;  // 127.0.0.10 in network order
constexpr uint32_t kPhoneB = 0x0B00007F;

std::vector<uint8_t> Reply(uint8_t nonceByte = 0, uint32_t endFlag = 0) {
  std::vector<uint8_t> d(kDatagramSize, 0);
  std::fill_n(d.data() + kOffsetNonce, kNonceSize, nonceByte);
  WriteLe32(d.data() + kOffsetEndFlag, endFlag);
  return d;
}

class RegistryTest : public ::testing::Test {
 protected:
  RegistryTest() { clock.SetRealSleepUs(2000); }

  FakeClock clock;
  std::atomic<int> sends{0};
  std::atomic<bool> phoneAnswers{false};
  SessionRegistry registry{clock, [this](const uint8_t* data, int, uint32_t peer) {
                             sends.fetch_add(1);
                             // A control message (zero nonce, zero sequence) gets an answer.
                             if (phoneAnswers.load() && ReadLe32(data + kOffsetSendTick) == 0) {
                               auto r = Reply(0x42);
                               registry.Dispatch(peer, r.data(), static_cast<int>(r.size()));
                             }
                             return 0;
                           }};
};

TEST_F(RegistryTest, OneLoopTestPerSerialNumberWhateverTheLetterCase) {
  LoopTest* a = registry.GetOrCreateLoopTest(nullptr, "sn-abc");
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(registry.GetOrCreateLoopTest(nullptr, "SN-ABC"), a);
  EXPECT_EQ(registry.FindLoopTest("Sn-AbC"), a);
  EXPECT_EQ(registry.FindLoopTest("other"), nullptr);
  EXPECT_EQ(registry.Count(), 1);
  EXPECT_STREQ(a->SerialNumber(), "sn-abc");  // the first text names it and keys it
  EXPECT_EQ(a->Digest(), DeriveKeyDigest(nullptr, "sn-abc"));
}

TEST_F(RegistryTest, AFullRegistryKeepsNothingMore) {
  for (int i = 0; i < kRegistrySlots; ++i) {
    ASSERT_NE(registry.GetOrCreateLoopTest(nullptr, ("SN" + std::to_string(i)).c_str()), nullptr);
  }
  EXPECT_EQ(registry.GetOrCreateLoopTest(nullptr, "SN-extra"), nullptr);
  EXPECT_EQ(registry.FindLoopTest("SN-extra"), nullptr);
  EXPECT_EQ(registry.Count(), kRegistrySlots);
  std::vector<int> slots;
  registry.ForEach([&](int slot, LoopTest&) { slots.push_back(slot); });
  EXPECT_EQ(slots.size(), 128u);
  EXPECT_TRUE(std::is_sorted(slots.begin(), slots.end()));
}

TEST_F(RegistryTest, DatagramsGoToEveryLoopTestOfTheSenderAddressOnly) {
  LoopTest* a1 = registry.GetOrCreateLoopTest(nullptr, "A1");
  LoopTest* b = registry.GetOrCreateLoopTest(nullptr, "B");
  LoopTest* a2 = registry.GetOrCreateLoopTest(nullptr, "A2");
  a1->SendControl(kPhoneA);
  b->SendControl(kPhoneB);
  a2->SendControl(kPhoneA);
  auto r = Reply(7);
  registry.Dispatch(kPhoneA, r.data(), static_cast<int>(r.size()));
  EXPECT_EQ(a1->Replies(), 1u);
  EXPECT_EQ(a2->Replies(), 1u);
  EXPECT_EQ(b->Replies(), 0u);
  EXPECT_EQ(a2->StoredNonce()[0], 7);
  registry.Dispatch(0x0C00007F, r.data(), static_cast<int>(r.size()));
  EXPECT_EQ(a1->Replies() + a2->Replies() + b->Replies(), 2u);
}

TEST_F(RegistryTest, ControlExchangeResults) {
  LoopTest* t = registry.GetOrCreateLoopTest(nullptr, "SN1");

  // No tries: nothing is sent; 3 without earlier replies, 2 with them (and they are cleared).
  EXPECT_EQ(SendStartCommand(0, kPhoneA, *t), 3);
  auto r = Reply();
  t->OnDatagram(r.data(), static_cast<int>(r.size()));
  EXPECT_EQ(SendStartCommand(0, kPhoneA, *t), 2);
  EXPECT_EQ(t->Replies(), 0u);
  EXPECT_EQ(sends.load(), 0);

  // A silent phone: three control messages a second apart, then 3.
  int64_t before = clock.ElapsedMs();
  EXPECT_EQ(SendStartCommand(3, kPhoneA, *t), 3);
  EXPECT_EQ(sends.load(), 3);
  EXPECT_EQ(clock.ElapsedMs() - before, 3000);

  // An answer that comes after the last check fails this exchange but is counted, so the
  // next exchange clears it first and succeeds only on an answer of its own.
  t->OnDatagram(r.data(), static_cast<int>(r.size()));
  EXPECT_EQ(SendStartCommand(1, kPhoneA, *t), 2);

  phoneAnswers = true;
  EXPECT_EQ(SendStartCommand(3, kPhoneA, *t), 1);
  EXPECT_EQ(sends.load(), 5);  // answered at the first try
  EXPECT_EQ(t->StoredNonce()[0], 0x42);
  EXPECT_EQ(t->PeerAddress(), kPhoneA);
}

TEST_F(RegistryTest, StartAndStopATest) {
  TraceRecorder trace;
  LoopTest* t = registry.GetOrCreateLoopTest(nullptr, "SN1");
  auto observer = std::make_shared<RecordingObserver>();
  t->SetObservers("", {observer});
  ASSERT_EQ(StartLoopTest(0, 20, kPhoneA, t), 0);
  EXPECT_TRUE(t->IsRunning());

  // Starting a running test changes nothing.
  EXPECT_EQ(StartLoopTest(0, 20, kPhoneA, t), -1);

  EXPECT_EQ(StopLoopTest(t), 0);
  EXPECT_FALSE(t->IsRunning());
  EXPECT_EQ(observer->Count(Event::kStarted), 1);  // the refused start reported nothing
  EXPECT_EQ(observer->Count(Event::kFinished), 1);

  auto lines = trace.Lines();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[0], "vpnTunnelQualityTestTask : Duration 0 Interval 20\r\n");
  EXPECT_EQ(lines[1], "LoopTest::Run : Frame per second = 50\r\n");

  // A test can be started again on the same LoopTest.
  ASSERT_EQ(StartLoopTest(0, 20, kPhoneA, t), 0);
  EXPECT_EQ(StopLoopTest(t), 0);
  EXPECT_EQ(observer->Count(Event::kFinished), 2);
}

TEST_F(RegistryTest, StoppingAnIdleTestReturnsAtOnce) {
  LoopTest* t = registry.GetOrCreateLoopTest(nullptr, "SN1");
  int sleepsBefore = clock.SleepCalls();
  EXPECT_EQ(StopLoopTest(t), 0);
  EXPECT_EQ(clock.SleepCalls(), sleepsBefore);
  EXPECT_EQ(StopLoopTest(nullptr), -1);
}

}  // namespace
}  // namespace pathmon
