// SPDX-License-Identifier: Apache-2.0
// The discovery scan with SNMP agents held in memory and a clock that only records pauses:
// the walk's order, the slot pool, the trace lines, the failure to start a worker, and
// what the busy count promises about the directory.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>

#include <atomic>
#include <string>
#include <system_error>
#include <vector>

#include "discovery/PhoneListMgr.h"
#include "support/TraceRecorder.h"
#include "support/FakeClock.h"
#include "tests/discovery/DiscoveryHelpers.h"

namespace pathmon {
namespace {

using discovery_test::ServePhone;
using testing::FakeSnmpClient;
using discovery_test::MakePhone;
using testing::FakeClock;
using discovery_test::WaitForBusyCount;
using discovery_test::WaitUntilIdle;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::Not;
using ::testing::StartsWith;
using ::testing::Contains;
using ::testing::UnorderedElementsAreArray;

std::string Spawned(int number, const std::string& address, int slot) {
  char line[128];
  std::snprintf(line, sizeof line, "(%-5d)Spawning SNMP Worker thread for %s in slot %d\r\n",
                number, address.c_str(), slot);
  return line;
}

class DiscoveryScanTest : public ::testing::Test {
 protected:
  void TearDown() override { agents_.ReleaseAll(); }  // so the scan's workers can end

  testing::TraceRecorder trace_;  // first in, last out: outlives every worker
  FakeSnmpClient agents_;
  FakeClock clock_;
  PhoneDirectory directory_{agents_, clock_};
  DiscoveryScan scan_{directory_, clock_};
};

TEST_F(DiscoveryScanTest, APhoneFoundIsProbedWithTheDirectoryCommunityAndStored) {
  ServePhone(agents_, "10.0.0.5", MakePhone("SN5", "ID5"));
  ASSERT_TRUE(scan_.StartDiscovery("10.0.0.5", "10.0.0.5"));
  ASSERT_TRUE(WaitUntilIdle(scan_));
  EXPECT_EQ(directory_.GetPhoneCount(), 1);
  EXPECT_EQ(agents_.Requests().back().community, "orchid");
}

// Each address of a range probed once, in ascending order, in slots from 0 up: a single
// address, across an octet, up to the last address and from the first; none when the first
// is above the last; no start from a text that is no address.
TEST(DiscoveryScanRangeTest, ARangeIsWalkedInAscendingOrderAcrossOctetsToItsEnds) {
  struct Case {
    const char* first;
    const char* last;
    std::vector<std::string> probed;
    bool started = true;
  };
  const std::vector<Case> cases = {
      {"10.0.0.5", "10.0.0.5", {"10.0.0.5"}},
      {"10.0.0.250", "10.0.1.4", {"10.0.0.250", "10.0.0.251", "10.0.0.252", "10.0.0.253",
                                  "10.0.0.254", "10.0.0.255", "10.0.1.0", "10.0.1.1", "10.0.1.2",
                                  "10.0.1.3", "10.0.1.4"}},
      {"255.255.255.253", "255.255.255.255",
       {"255.255.255.253", "255.255.255.254", "255.255.255.255"}},
      {"0.0.0.0", "0.0.0.1", {"0.0.0.0", "0.0.0.1"}},
      {"10.0.0.9", "10.0.0.1", {}},
      {"10.0.0.1", "not an address", {}, false},
      {"", "10.0.0.1", {}, false},
      {nullptr, "10.0.0.1", {}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(&c - cases.data());
    testing::TraceRecorder trace;
    FakeSnmpClient agents;
    FakeClock clock;
    PhoneDirectory directory(agents, clock);
    DiscoveryScan scan(directory, clock);
    agents.HoldAll();  // every worker keeps its slot: slot i for address i
    EXPECT_EQ(scan.StartDiscovery(c.first, c.last), c.started);
    const int n = static_cast<int>(c.probed.size());
    std::vector<std::string> spawned;
    for (int i = 0; i < n; ++i) spawned.push_back(Spawned(i + 1, c.probed[i], i));
    EXPECT_THAT(trace.Lines(), ElementsAreArray(spawned));
    EXPECT_THAT(clock.Sleeps(), ElementsAreArray(std::vector<int32_t>(n, 20)));
    EXPECT_EQ(scan.GetBusySlotCount(), n);
    EXPECT_TRUE(agents.WaitForRequests(n));
    EXPECT_THAT(agents.Agents(), UnorderedElementsAreArray(c.probed));
    agents.ReleaseAll();
  }
}

TEST_F(DiscoveryScanTest, TraceNumbersRunOnAcrossScans) {
  ASSERT_TRUE(scan_.StartDiscovery("10.0.0.1", "10.0.0.3"));
  ASSERT_TRUE(WaitUntilIdle(scan_));
  ASSERT_TRUE(scan_.StartDiscovery("10.0.7.1", "10.0.7.2"));
  ASSERT_TRUE(WaitUntilIdle(scan_));

  std::vector<std::string> lines = trace_.Lines();
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[0].substr(0, 7), "(1    )");
  EXPECT_EQ(lines[2].substr(0, 7), "(3    )");
  // The second scan goes on counting; its slot is whichever is lowest and free.
  EXPECT_THAT(lines[3], StartsWith("(4    )Spawning SNMP Worker thread for 10.0.7.1 in slot "));
  EXPECT_THAT(lines[4], StartsWith("(5    )Spawning SNMP Worker thread for 10.0.7.2 in slot "));
}

TEST_F(DiscoveryScanTest, LowestFreeSlotIsAlwaysTheOneClaimed) {
  agents_.HoldAll();
  ASSERT_TRUE(scan_.StartDiscovery("10.0.0.1", "10.0.0.4"));  // slots 0 to 3
  ASSERT_TRUE(agents_.WaitForRequests(4));

  agents_.Release("10.0.0.3");  // frees slot 2 first, then slot 1
  ASSERT_TRUE(WaitForBusyCount(scan_, 3));
  agents_.Release("10.0.0.2");
  ASSERT_TRUE(WaitForBusyCount(scan_, 2));

  ASSERT_TRUE(scan_.StartDiscovery("10.0.0.10", "10.0.0.12"));
  std::vector<std::string> lines = trace_.Lines();
  ASSERT_EQ(lines.size(), 7u);
  EXPECT_EQ(lines[4], Spawned(5, "10.0.0.10", 1));
  EXPECT_EQ(lines[5], Spawned(6, "10.0.0.11", 2));
  EXPECT_EQ(lines[6], Spawned(7, "10.0.0.12", 4));
  EXPECT_EQ(scan_.GetBusySlotCount(), 5);
}

TEST_F(DiscoveryScanTest, WhenEverySlotIsBusyTheWalkWaitsASecondPerAttempt) {
  agents_.HoldAll();
  ASSERT_TRUE(scan_.StartDiscovery("10.1.0.0", "10.1.0.255"));  // all 256 slots
  ASSERT_EQ(scan_.GetBusySlotCount(), kWorkerSlots);

  int attempts = 0;
  clock_.SetSleepHook([&](int32_t ms) {
    if (ms != 1000) return;
    // The first wait finds nothing freed; during the second, the worker of slot 77 ends.
    if (++attempts == 2) {
      agents_.Release("10.1.0.77");
      ASSERT_TRUE(WaitForBusyCount(scan_, kWorkerSlots - 1));
    }
  });
  ASSERT_TRUE(scan_.StartDiscovery("10.1.1.0", "10.1.1.0"));
  clock_.SetSleepHook(nullptr);

  std::vector<std::string> lines = trace_.Lines();
  ASSERT_EQ(lines.size(), 259u);
  EXPECT_EQ(lines[256], "All Thread Slots are occupied, Waiting!!\r\n");
  EXPECT_EQ(lines[257], "All Thread Slots are occupied, Waiting!!\r\n");
  EXPECT_EQ(lines[258], Spawned(257, "10.1.1.0", 77));
  std::vector<int32_t> sleeps = clock_.Sleeps();
  ASSERT_EQ(sleeps.size(), 259u);
  EXPECT_THAT(std::vector<int32_t>(sleeps.begin() + 256, sleeps.end()), ElementsAre(1000, 1000, 20));
  EXPECT_EQ(scan_.GetBusySlotCount(), kWorkerSlots);
}

// A signal must end a scan within a second: the walk asks before every address, and with
// every slot busy it waits in quarter seconds, asking each time.
TEST_F(DiscoveryScanTest, AStopEndsTheWalkBeforeTheNextAddressOrWithinAPause) {
  agents_.HoldAll();
  int asks = 0;
  scan_.SetStopCheck([&asks] { return ++asks > 3; });
  ASSERT_TRUE(scan_.StartDiscovery("10.3.0.0", "10.3.0.255"));
  EXPECT_EQ(scan_.GetBusySlotCount(), 3);  // the other 253 addresses are not probed

  bool stop = false;
  scan_.SetStopCheck([&stop] { return stop; });
  ASSERT_TRUE(scan_.StartDiscovery("10.3.1.0", "10.3.1.252"));  // fills the pool
  clock_.SetSleepHook([&stop](int32_t) { stop = true; });
  ASSERT_TRUE(scan_.StartDiscovery("10.3.2.0", "10.3.2.0"));
  clock_.SetSleepHook(nullptr);
  std::vector<int32_t> sleeps = clock_.Sleeps();
  ASSERT_FALSE(sleeps.empty());
  EXPECT_EQ(sleeps.back(), 250);  // one step of the 1000 ms pause, then the walk ended
  EXPECT_EQ(scan_.GetBusySlotCount(), kWorkerSlots);
}

// 256 probes at once hold 256 sockets: a soft limit of 64 would leave most addresses
// unprobed, so the scan takes all the hard limit allows.
TEST_F(DiscoveryScanTest, TheScanRaisesItsOpenFileLimitToTheHardLimit) {
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  rlimit low = saved;
  low.rlim_cur = std::min<rlim_t>(64, saved.rlim_max);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
  ASSERT_TRUE(scan_.StartDiscovery("10.4.0.1", "10.4.0.1"));
  rlimit now{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &now), 0);
  EXPECT_EQ(now.rlim_cur, saved.rlim_max);
  setrlimit(RLIMIT_NOFILE, &saved);
}

TEST_F(DiscoveryScanTest, WorkerThatCannotStartFreesItsSlotAndTheWalkGoesOn) {
  ServePhone(agents_, "10.0.0.2", MakePhone("SN2", "ID2"));
  agents_.HoldAll();
  int starts = 0;
  scan_.SetThreadStarter([&](std::function<void()> body) {
    if (++starts == 2) throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    return std::thread(std::move(body));
  });
  int32_t busyDuringPause = -1;
  clock_.SetSleepHook([&](int32_t ms) {
    if (ms == 10000) busyDuringPause = scan_.GetBusySlotCount();
  });

  ASSERT_TRUE(scan_.StartDiscovery("10.0.0.1", "10.0.0.3"));

  EXPECT_THAT(trace_.Lines(),
              ElementsAre(Spawned(1, "10.0.0.1", 0), Spawned(2, "10.0.0.2", 1),
                          "Failed to create worker thread for 10.0.0.2 freeing 1 thread slot\r\n",
                          Spawned(3, "10.0.0.3", 1)));
  EXPECT_THAT(clock_.Sleeps(), ElementsAre(20, 10000, 20));
  EXPECT_EQ(busyDuringPause, 1);
  EXPECT_EQ(scan_.GetBusySlotCount(), 2);

  agents_.ReleaseAll();
  ASSERT_TRUE(WaitUntilIdle(scan_));
  EXPECT_THAT(agents_.Agents(), Not(Contains("10.0.0.2")));
  EXPECT_EQ(directory_.GetPhoneCount(), 0);
}

TEST_F(DiscoveryScanTest, NoBusySlotMeansEveryPhoneOfTheScanIsStored) {
  // Phones, silent addresses and a phone found twice; whenever the busy count is seen at 0
  // after the walk, the directory already holds every phone.
  for (int i = 0; i < 64; ++i) {
    std::string n = std::to_string(i);
    if (i % 4 != 3) ServePhone(agents_, "10.2.0." + n, MakePhone("SN" + n, "ID" + n));
  }
  ServePhone(agents_, "10.2.0.63", MakePhone("SN0", "id0"));  // phone 0 again
  ASSERT_TRUE(scan_.StartDiscovery("10.2.0.0", "10.2.0.63"));
  ASSERT_TRUE(WaitUntilIdle(scan_));
  EXPECT_EQ(directory_.GetPhoneCount(), 48);
  EXPECT_EQ(agents_.Agents().size(), 64u);
}

TEST_F(DiscoveryScanTest, CountsTheAddressesThatAnsweredAndThoseThatTimedOut) {
  ServePhone(agents_, "10.6.0.1", MakePhone("SN1", "ID1"));
  ServePhone(agents_, "10.6.0.2", MakePhone("SN2", "ID2"), "other");  // silent to "orchid"
  agents_.SetOctets("10.6.0.3", kDefaultCommunity, kDiscoveryObjects[6], "SN3");  // no phone
  ASSERT_TRUE(scan_.StartDiscovery("10.6.0.1", "10.6.0.5"));
  ASSERT_TRUE(WaitUntilIdle(scan_));
  EXPECT_EQ(scan_.Counts().answered, 2);
  EXPECT_EQ(scan_.Counts().timedOut, 3);
  // The next scan counts its own probes only.
  ASSERT_TRUE(scan_.StartDiscovery("10.6.0.1", "10.6.0.1"));
  ASSERT_TRUE(WaitUntilIdle(scan_));
  EXPECT_EQ(scan_.Counts().answered, 1);
  EXPECT_EQ(scan_.Counts().timedOut, 0);
}

TEST_F(DiscoveryScanTest, EachWorkerProbesTheAddressOfItsOwnSlot) {
  // Slots are reused while earlier workers are still ending: no worker may probe another
  // slot's address, and each address is probed exactly once.
  std::vector<std::string> addresses;
  for (int i = 0; i < 200; ++i) addresses.push_back("10.3.0." + std::to_string(i));
  ASSERT_TRUE(scan_.StartDiscovery("10.3.0.0", "10.3.0.199"));
  ASSERT_TRUE(WaitUntilIdle(scan_));
  EXPECT_THAT(agents_.Agents(), UnorderedElementsAreArray(addresses));
}

TEST(DiscoveryScanLifetimeTest, DestroyingTheScanWaitsForItsRunningWorkers) {
  FakeSnmpClient agents;
  FakeClock clock;
  PhoneDirectory directory(agents, clock);
  ServePhone(agents, "10.5.0.1", MakePhone("SN1", "ID1"));
  agents.HoldAll();
  std::thread releaser;
  {
    DiscoveryScan scan(directory, clock);
    ASSERT_TRUE(scan.StartDiscovery("10.5.0.1", "10.5.0.1"));
    ASSERT_TRUE(agents.WaitForRequests(1));
    releaser = std::thread([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      agents.ReleaseAll();
    });
  }  // the worker is still held here; the scan must wait for it
  EXPECT_EQ(directory.GetPhoneCount(), 1);
  releaser.join();
}

}  // namespace
}  // namespace pathmon
