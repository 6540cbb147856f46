// SPDX-License-Identifier: Apache-2.0
#pragma once
// The engine as the front ends see it (MainBackend, DiscoveryAccess), in memory: phones
// whose tests run until the fake clock reaches their end or they are stopped, and a log of
// every call a front end makes, so tests check both outcomes and sequences.
//
// Contract: thread-safe, as the command line starts tests from threads of its own. A phone
// is in the directory once a discovery range covers it (or `found` is set), and has a test
// once CreateLoopTestsForPhones gave it one; clearing `found` afterwards leaves a test whose
// phone the directory no longer knows.

#include <arpa/inet.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "discovery/PhoneListMgr.h"
#include "frontend/AddPhonesPresenter.h"
#include "frontend/Backend.h"
#include "support/FakeClock.h"

namespace pathmon::testing {

class FakeFleet final : public MainBackend, public DiscoveryAccess {
 public:
  struct Phone {
    std::string address, serial, user;
    bool answers = true;  // to the control exchange
    std::unique_ptr<LoopTest> test;
    bool found = false;
    bool answersScan = true;  // a scan covering it finds it (again)
    int64_t probedAt = 0;     // calendar seconds of its last answered probe
    bool running = false;
    Clock::TimePoint endsAt = Clock::TimePoint::max();  // a test set running by hand runs on
    TestStatistics stats;  // what the snapshot shows
    VoiceQuality voice;    // what Voice gives
    int voiceReads = 0;
    TestObservers observers;  // while the test runs
    int controlCalls = 0;     // tries of the control exchange
    int controlRealMs = 0;    // real time each call of the control exchange takes
    int cycleResults = 0;     // cycle results delivered to the observers
    int stops = 0;
    TestEnd end = TestEnd::kNone;
    int32_t runsSeconds = -1;  // >= 0: its tests end this soon after the start, by endsWith
    TestEnd endsWith = TestEnd::kPhoneEnded;
    // Its running test hears no echo from silentFrom to silentUntil seconds after its start.
    int32_t silentFrom = -1, silentUntil = -1;
    Clock::TimePoint startedAt{};
  };

  explicit FakeFleet(FakeClock& clock) : clock_(clock) {}

  void Add(const std::string& address, const std::string& serial, bool answers = true,
           const std::string& user = "") {
    auto phone = std::make_unique<Phone>();
    phone->address = address;
    phone->serial = serial;
    phone->user = user.empty() ? "user-" + serial : user;
    phone->answers = answers;
    std::lock_guard lock(mutex_);
    phones_.push_back(std::move(phone));
  }
  Phone& Get(const std::string& serial) {
    for (auto& p : phones_) {
      if (p->serial == serial) return *p;
    }
    throw std::out_of_range(serial);
  }
  Phone& Of(const LoopTest* test) {
    for (auto& p : phones_) {
      if (p->test.get() == test) return *p;
    }
    throw std::out_of_range("no such test");
  }
  // The calls logged so far that begin with prefix.
  std::vector<std::string> Calls(const std::string& prefix) const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> out;
    for (const auto& c : calls) {
      if (c.rfind(prefix, 0) == 0) out.push_back(c);
    }
    return out;
  }

  // DiscoveryAccess: every phone of the range answers at once.
  int32_t GetPhoneCount() override {
    std::lock_guard lock(mutex_);
    return static_cast<int32_t>(
        std::count_if(phones_.begin(), phones_.end(), [](const auto& p) { return p->found; }));
  }
  bool StartDiscovery(const char* first, const char* last) override {
    std::lock_guard lock(mutex_);
    uint32_t a = ntohl(::inet_addr(first)), b = ntohl(::inet_addr(last));
    for (auto& p : phones_) {
      uint32_t x = ntohl(::inet_addr(p->address.c_str()));
      if (x >= a && x <= b && p->answersScan) {
        p->found = true;
        p->probedAt = clock_.WallSeconds();
      }
    }
    return true;
  }
  int32_t GetBusySlotCount() override { return 0; }
  std::vector<PhoneEntry> Phones() override {
    std::vector<PhoneEntry> entries;
    for (auto& p : phones_) {
      PhoneEntry e{};
      if (p->found && FindPhoneBySerial(p->serial.c_str(), e)) entries.push_back(e);
    }
    entries.insert(entries.end(), extraEntries.begin(), extraEntries.end());
    return entries;
  }
  std::vector<PhoneNotKept> PhonesNotKept() override { return notKept; }

  // MainBackend.
  void CreateLoopTestsForPhones() override {
    std::lock_guard lock(mutex_);
    calls.push_back("create tests");
    for (auto& p : phones_) {
      if (static_cast<int>(registry_.size()) >= registryCapacity) break;
      if (p->found && !p->test) {
        p->test =
            std::make_unique<LoopTest>(clock_, [](const uint8_t*, int, uint32_t) { return 0; });
        p->test->Init(nullptr, p->serial.c_str());
        registry_.push_back(p.get());
      }
    }
  }
  void ForEachLoopTest(const std::function<void(int, LoopTest&)>& visit) override {
    std::vector<Phone*> copy;
    {
      std::lock_guard lock(mutex_);
      copy = registry_;
    }
    for (std::size_t i = 0; i < copy.size(); ++i) visit(static_cast<int>(i), *copy[i]->test);
  }
  bool FindPhoneBySerial(const char* serial, PhoneEntry& entry) override {
    std::lock_guard lock(mutex_);
    for (auto& p : phones_) {
      if (p->found && p->serial == serial) {
        std::snprintf(entry.serialNumber, sizeof entry.serialNumber, "%s", p->serial.c_str());
        std::snprintf(entry.userName, sizeof entry.userName, "%s", p->user.c_str());
        std::snprintf(entry.scannedAddress, sizeof entry.scannedAddress, "%s",
                      p->address.c_str());
        entry.probeTime = p->probedAt;
        return true;
      }
    }
    return false;
  }
  VoiceQuality Voice(LoopTest& test) override {
    if (onVoice) onVoice(test);
    // Looked up under the lock: the window's worker asks while a list rebuild makes tests.
    std::lock_guard lock(mutex_);
    Phone& p = Of(&test);
    ++p.voiceReads;
    return p.voice;
  }
  TestSnapshot Snapshot(LoopTest& test) override {
    Phone& p = Of(&test);
    bool ended = false;
    {
      std::lock_guard lock(mutex_);
      ended = p.running && clock_.Now() >= p.endsAt;
    }
    if (ended) End(p);
    std::lock_guard lock(mutex_);
    const int64_t ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(clock_.Now() - p.startedAt).count();
    const bool silent = p.running && ms >= p.silentFrom * 1000 && ms < p.silentUntil * 1000;
    return TestSnapshot{p.running, p.stats, p.end, silent ? ms - p.silentFrom * 1000 : 0};
  }
  int SendStartCommand(int tries, uint32_t address, LoopTest& test) override {
    Phone& p = Of(&test);
    std::this_thread::sleep_for(std::chrono::milliseconds(p.controlRealMs));
    std::lock_guard lock(mutex_);
    calls.push_back("exchange " + p.serial + " " + std::to_string(tries) + " " + Dotted(address));
    if (requiredTries != 0) {
      EXPECT_EQ(tries, requiredTries);
    }
    EXPECT_EQ(address, ::inet_addr(p.address.c_str()));
    p.controlCalls += tries;
    return p.answers ? 1 : 3;
  }
  int StartLoopTest(int32_t seconds, int32_t intervalMs, uint32_t address,
                    LoopTest* test) override {
    Phone& p = Of(test);
    TestObservers observers;
    {
      std::lock_guard lock(mutex_);
      calls.push_back("start " + p.serial + " " + std::to_string(seconds) + " " +
                      std::to_string(intervalMs) + " " + Dotted(address));
      EXPECT_EQ(intervalMs, kTestIntervalMs);
      if (!startSucceeds) return -1;
      p.running = true;
      p.end = TestEnd::kNone;
      p.startedAt = clock_.Now();
      p.observers = observers = observers_;
      p.endsAt = clock_.Now() + std::chrono::seconds(p.runsSeconds >= 0 ? p.runsSeconds : seconds);
      startOrder.push_back(p.serial);
      int running = static_cast<int>(std::count_if(phones_.begin(), phones_.end(),
                                                   [](const auto& q) { return q->running; }));
      maxRunning = std::max(maxRunning, running);
    }
    const TestIdentity phone{p.serial, p.user, ::inet_addr(p.address.c_str())};
    for (const auto& observer : observers) {
      observer->OnStarted(TestStarted{phone, clock_.WallSeconds()});
    }
    return 0;
  }
  int StopLoopTest(LoopTest* test) override {
    Phone& p = Of(test);
    {
      std::lock_guard lock(mutex_);
      calls.push_back("stop " + p.serial);
      ++p.stops;
    }
    End(p);
    return 0;
  }
  bool GetPhoneLog(const char* agent, const char* fileName) override {
    {
      std::lock_guard lock(mutex_);
      calls.push_back(std::string("log ") + agent + " " + fileName);
    }
    if (!logWritable) failures.Report(fileName, "Read-only file system");
    if (onLog) onLog();
    return logSucceeds;
  }
  std::vector<WriteFailure> TakeWriteFailures() override { return failures.TakeNew(); }
  std::vector<WriteFailure> AllWriteFailures() override { return failures.All(); }
  void AddObserver(std::shared_ptr<TestObserver> observer) override {
    std::lock_guard lock(mutex_);
    calls.push_back("observer");
    observers_.push_back(std::move(observer));
  }

  std::vector<std::string> calls;  // every call of a front end, as "<what> <arguments>"
  std::vector<std::string> startOrder;
  std::vector<PhoneEntry> extraEntries;  // directory entries without a test of their own
  std::vector<PhoneNotKept> notKept;
  std::function<void()> onLog;  // runs inside every log retrieval
  std::function<void(LoopTest&)> onVoice;  // runs inside every assessment, on its thread
  WriteFailures failures;  // what the history writer and the log retrieval report
  int requiredTries = 0;   // when set, the tries every control exchange must ask for
  bool startSucceeds = true;
  bool logSucceeds = true;
  bool logWritable = true;
  int maxRunning = 0;
  int registryCapacity = 128;

 private:
  static std::string Dotted(uint32_t address) {
    in_addr a{};
    a.s_addr = address;
    return inet_ntoa(a);
  }
  // The test's final events, as the test thread delivers them, outside the fleet's lock.
  void End(Phone& p) {
    TestObservers observers;
    {
      std::lock_guard lock(mutex_);
      if (!p.running) return;
      observers = std::exchange(p.observers, {});
      p.cycleResults += observers.empty() ? 0 : 1;
    }
    const TestIdentity phone{p.serial, p.user, ::inet_addr(p.address.c_str())};
    const int64_t now = clock_.WallSeconds();
    const TestEnd end = clock_.Now() < p.endsAt ? TestEnd::kStopped
                        : p.runsSeconds >= 0    ? p.endsWith
                                                : TestEnd::kDuration;
    for (const auto& observer : observers) {
      observer->OnCycleResult(CycleResult{phone, now, p.stats, p.test->CurrentVoice()});
      observer->OnFinished(TestFinished{phone, now, end});
    }
    std::lock_guard lock(mutex_);
    p.running = false;
    p.end = end;
  }

  FakeClock& clock_;
  mutable std::mutex mutex_;
  std::vector<std::unique_ptr<Phone>> phones_;
  std::vector<Phone*> registry_;
  TestObservers observers_;
};

}  // namespace pathmon::testing
