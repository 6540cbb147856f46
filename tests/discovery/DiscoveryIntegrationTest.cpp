// SPDX-License-Identifier: Apache-2.0
// The program's own scan (an engine's directory over net-snmp and the real clock)
// against simulated phones on 127.30.0.0/16: phones, agents that are not phones, an agent
// that never answers, a phone with another community, and addresses where nothing listens.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <vector>

#include "engine/Engine.h"
#include "support/SimProcess.h"
#include "tests/discovery/DiscoveryHelpers.h"

namespace pathmon {
namespace {

using testing::SimProcess;

// Waits for the scan's workers; a silent address costs a probe 4 x 3 s, so allow for more.
bool WaitForScanEnd(Engine& engine) {
  return discovery_test::WaitUntilIdle(engine.Discovery(), std::chrono::seconds(60));
}

PhoneEntry Find(Engine& engine, const char* serial) {
  PhoneEntry e{};
  EXPECT_TRUE(engine.Phones().FindPhoneBySerial(serial, e)) << serial;
  return e;
}

TEST(DiscoveryIntegrationTest, ScanStoresExactlyThePhonesWithEveryField) {
  Engine engine;
  engine.InitPhoneList();
  ASSERT_EQ(engine.Phones().GetPhoneCount(), 0);

  auto scanStart = std::chrono::steady_clock::now();
  {
    SimProcess sim({
        "--phone",
        "127.30.0.2 serial=FA0002 key=KEY-0002 \"user=Ann Lee\" uptime=360000 addr0=10.9.8.7 "
        "addr13=172.16.254.1 text1=\"Farline 4420\" text2=4.2.17 text3=farline-a int8=8 "
        "int10=-10 int11=11 int14=14 int15=2147483647",
        "--phone", "127.30.0.4 serial=FA0004 key=KEY-0004 user= uptime=6000",
        "--phone", "127.30.0.5 serial=NP0005 key=NP-5 notphone",
        "--phone", "127.30.0.6 serial=SL0006 key=SL-6 snmp-silent",
        "--phone", "127.30.0.7 serial=MS0007 key=MS-7 missing=12",
        "--phone", "127.30.0.8 serial=CM0008 key=CM-8 community=other",
        "--phone", "127.30.0.10 serial=FA0010 key=KEY-0010 user=x\\\\bob uptime=6001",
    });
    ASSERT_TRUE(sim.Ok());

    // 127.30.0.1, .3 and .9 have no agent at all.
    ASSERT_TRUE(engine.Discovery().StartDiscovery("127.30.0.1", "127.30.0.10"));
    ASSERT_TRUE(WaitForScanEnd(engine));
    auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - scanStart);
    RecordProperty("scan_seconds", std::to_string(seconds.count()));
  }

  ASSERT_EQ(engine.Phones().GetPhoneCount(), 3);
  PhoneEntry a = Find(engine, "fa0002");
  EXPECT_STREQ(a.serialNumber, "FA0002");
  EXPECT_STREQ(a.identityKey, "KEY-0002");
  EXPECT_STREQ(a.userName, "Ann Lee");
  EXPECT_STREQ(a.scannedAddress, "127.30.0.2");
  EXPECT_STREQ(a.probeAddress0, "10.9.8.7");
  EXPECT_STREQ(a.probeAddress13, "172.16.254.1");
  EXPECT_STREQ(a.probeText1, "Farline 4420");
  EXPECT_STREQ(a.probeText2, "4.2.17");
  EXPECT_STREQ(a.probeText3, "farline-a");
  EXPECT_EQ(a.upTime, 60);
  EXPECT_EQ(a.probeInt8, 8);
  EXPECT_EQ(a.probeInt10, -10);
  EXPECT_EQ(a.probeInt11, 11);
  EXPECT_EQ(a.probeInt14, 14);
  EXPECT_EQ(a.probeInt15, 2147483647);
  int64_t now = std::chrono::duration_cast<std::chrono::seconds>(
                    std::chrono::system_clock::now().time_since_epoch())
                    .count();
  EXPECT_LE(a.probeTime, now);
  EXPECT_GT(a.probeTime, now - 120);

  PhoneEntry b = Find(engine, "FA0004");
  EXPECT_STREQ(b.userName, "Unknown");
  EXPECT_EQ(b.upTime, 6000);
  EXPECT_STREQ(b.scannedAddress, "127.30.0.4");

  PhoneEntry c = Find(engine, "FA0010");
  EXPECT_STREQ(c.userName, "x\\bob");
  EXPECT_EQ(c.upTime, 1);

  // Workers finish in any order, so positions follow the order the probes completed: the
  // three phones hold the first three, one each.
  std::vector<int32_t> positions = {a.index, b.index, c.index};
  std::sort(positions.begin(), positions.end());
  EXPECT_EQ(positions, (std::vector<int32_t>{0, 1, 2}));
  PhoneEntry none{};
  for (const char* serial : {"NP0005", "SL0006", "MS0007", "CM0008"}) {
    EXPECT_FALSE(engine.Phones().FindPhoneBySerial(serial, none)) << serial;
  }

  // The same phone found again under another address keeps its position and takes the
  // fresh values.
  {
    SimProcess sim({"--phone",
                    "127.30.1.9 serial=FA0002 key=key-0002 \"user=Ann Lee-Moved\" uptime=120000"});
    ASSERT_TRUE(sim.Ok());
    ASSERT_TRUE(engine.Discovery().StartDiscovery("127.30.1.9", "127.30.1.9"));
    ASSERT_TRUE(WaitForScanEnd(engine));
  }
  EXPECT_EQ(engine.Phones().GetPhoneCount(), 3);
  PhoneEntry moved = Find(engine, "FA0002");
  EXPECT_EQ(moved.index, a.index);
  EXPECT_STREQ(moved.scannedAddress, "127.30.1.9");
  EXPECT_STREQ(moved.identityKey, "key-0002");
  EXPECT_STREQ(moved.userName, "Ann Lee-Moved");
  EXPECT_EQ(moved.upTime, 20);
}

}  // namespace
}  // namespace pathmon
