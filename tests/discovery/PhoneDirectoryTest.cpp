// SPDX-License-Identifier: Apache-2.0
// The phone directory against SNMP agents held in memory: the probe's decoding of the 16
// discovery objects, replacement by identity key, lookup by serial number, the full
// directory, and concurrent stores.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "discovery/PhoneListMgr.h"
#include "looptest/SessionRegistry.h"
#include "support/TraceRecorder.h"
#include "support/FakeClock.h"
#include "tests/discovery/DiscoveryHelpers.h"

namespace pathmon {
namespace {

using discovery_test::Bytes;
using discovery_test::ServePhone;
using testing::FakeSnmpClient;
using discovery_test::Int32;
using discovery_test::Ip;
using discovery_test::MakePhone;
using discovery_test::PhoneAnswer;
using testing::FakeClock;
using discovery_test::Text;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;

class PhoneDirectoryTest : public ::testing::Test {
 protected:
  // Probes one answer at 10.0.0.1 and returns the entry it fills.
  PhoneEntry Probe(const PhoneAnswer& answer) {
    ServePhone(agents_, "10.0.0.1", answer);
    PhoneEntry entry;
    std::memset(&entry, 0xAB, sizeof entry);  // the probe must clear what it doesn't fill
    EXPECT_TRUE(directory_.ProbePhone("10.0.0.1", "orchid", entry));
    return entry;
  }
  // Probes phone SN1 whose objects at the given positions answer the given values.
  PhoneEntry ProbeWith(const std::vector<std::pair<int, Bytes>>& values) {
    PhoneAnswer a = MakePhone("SN1", "ID1");
    for (const auto& [object, value] : values) a[static_cast<std::size_t>(object)] = value;
    return Probe(a);
  }
  PhoneEntry Find(const char* serial) {
    PhoneEntry entry{};
    EXPECT_TRUE(directory_.FindPhoneBySerial(serial, entry)) << serial;
    return entry;
  }
  bool Add(const std::string& address, const PhoneAnswer& answer) {
    ServePhone(agents_, address, answer);
    return directory_.AddPhone(address.c_str(), "orchid");
  }
  // Adds the phones from threads of their own, all probes at the agents before any stores.
  void AddAtOnce(const std::vector<std::pair<std::string, PhoneAnswer>>& phones) {
    for (const auto& [address, answer] : phones) ServePhone(agents_, address, answer);
    agents_.HoldAll();
    std::vector<std::thread> threads;
    for (const auto& phone : phones) {
      threads.emplace_back([this, &phone] {
        EXPECT_TRUE(directory_.AddPhone(phone.first.c_str(), "orchid")) << phone.first;
      });
    }
    ASSERT_TRUE(agents_.WaitForRequests(static_cast<int>(phones.size())));
    agents_.ReleaseAll();
    for (auto& t : threads) t.join();
  }

  FakeSnmpClient agents_;
  FakeClock clock_;
  PhoneDirectory directory_{agents_, clock_};
};

// ---- The probe ---------------------------------------------------------------------------

TEST_F(PhoneDirectoryTest, ProbeAsksForTheSixteenObjectsInOrderWithTheCommunity) {
  ServePhone(agents_, "10.0.0.1", MakePhone("SN1", "ID1"), "s3cret");
  PhoneEntry entry{};
  ASSERT_TRUE(directory_.ProbePhone("10.0.0.1", "s3cret", entry));
  EXPECT_EQ(agents_.Requests().back().community, "s3cret");
  EXPECT_THAT(agents_.Requests().back().objects,
              ElementsAreArray({
                  ".1.3.6.1.4.1.7431.2.69.1.1.4.0", ".1.3.6.1.4.1.7431.2.69.1.1.21.0",
                  ".1.3.6.1.4.1.7431.2.69.1.1.22.0", ".1.3.6.1.4.1.7431.2.69.1.1.2.0",
                  ".1.3.6.1.4.1.7431.2.69.1.1.20.0", ".1.3.6.1.4.1.7431.2.69.1.1.54.0",
                  ".1.3.6.1.4.1.7431.2.69.1.1.6.0", ".1.3.6.1.4.1.7431.2.69.1.1.9.0",
                  ".1.3.6.1.4.1.7431.2.69.1.1.58.0", ".1.3.6.1.2.1.1.3.0",
                  ".1.3.6.1.4.1.7431.2.70.1.1.1.0", ".1.3.6.1.4.1.7431.2.70.1.1.2.0",
                  ".1.3.6.1.4.1.7431.2.70.1.3.4.0", ".1.3.6.1.4.1.7431.2.70.1.2.1.0",
                  ".1.3.6.1.4.1.7431.2.70.1.1.23.0", ".1.3.6.1.4.1.7431.2.70.1.1.7.0",
              }));
}

// The serial number names the phone's test and files: only an OCTET STRING will do. A
// probe that could not even open its session is counted and traced, not taken for "no
// phone there".
TEST(PhoneDirectoryProbeTest, SerialOfAnotherTypeIsNoPhoneAndAnUnsentProbeIsCounted) {
  struct Case {
    const char* name;
    int result;
    uint8_t serialType;
    bool phone;
    int32_t unprobed;
  };
  const std::vector<Case> cases = {
      {"OCTET STRING", 1, kAsnOctetString, true, 0},
      {"Counter64", 1, 0x46, false, 0},
      {"OBJECT IDENTIFIER", 1, 0x06, false, 0},
      {"NULL", 1, 0x05, false, 0},
      {"INTEGER", 1, 0x02, false, 0},
      {"no session", kSnmpNoSession, kAsnOctetString, false, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing::TraceRecorder trace;
    FakeSnmpClient agent;
    ServePhone(agent, "10.0.0.1", MakePhone("SN1", "ID1"));
    agent.SetTyped("10.0.0.1", kDefaultCommunity, kDiscoveryObjects[6], c.serialType, "SN1");
    agent.SetFailing(c.result != 1, c.result);
    FakeClock clock;
    PhoneDirectory directory(agent, clock);
    PhoneEntry entry{};
    EXPECT_EQ(directory.ProbePhone("10.0.0.1", "orchid", entry), c.phone);
    EXPECT_EQ(directory.UnprobedCount(), c.unprobed);
    if (c.unprobed > 0) {
      EXPECT_THAT(trace.Lines(), ElementsAreArray({"Cannot probe 10.0.0.1: no SNMP session "
                                                   "could be opened\r\n"}));
    }
  }
}

TEST_F(PhoneDirectoryTest, ProbeDecodesEveryFieldByPosition) {
  clock_.SetWallSeconds(1'800'000'123);
  PhoneEntry e = Probe(MakePhone("FA12345", "mac-00:11:22", "Bob Smith"));

  EXPECT_EQ(e.index, 0);
  EXPECT_STREQ(e.scannedAddress, "10.0.0.1");
  EXPECT_STREQ(e.probeAddress0, "10.0.0.7");
  EXPECT_STREQ(e.probeText1, "FW 4.1.2");
  EXPECT_STREQ(e.probeText2, "Boot 1.07");
  EXPECT_STREQ(e.probeText3, "FL-3200");
  EXPECT_STREQ(e.serialNumber, "FA12345");
  EXPECT_STREQ(e.identityKey, "mac-00:11:22");
  EXPECT_EQ(e.probeInt8, 8);
  EXPECT_EQ(e.upTime, 60);  // 360000 hundredths are 60 minutes
  EXPECT_EQ(e.probeInt10, 10);
  EXPECT_EQ(e.probeInt11, 11);
  EXPECT_STREQ(e.userName, "Bob Smith");
  EXPECT_STREQ(e.probeAddress13, "192.168.200.254");
  EXPECT_EQ(e.probeInt14, -14);
  EXPECT_EQ(e.probeInt15, 15);
  EXPECT_EQ(e.probeTime, 1'800'000'123);

  // Every byte after each text's terminator is zero: the record is copied whole.
  auto tailIsZero = [](const char* field, std::size_t size) {
    std::size_t n = std::strlen(field);
    return std::all_of(field + n, field + size, [](char c) { return c == 0; });
  };
  EXPECT_TRUE(tailIsZero(e.userName, sizeof e.userName));
  EXPECT_TRUE(tailIsZero(e.probeText1, sizeof e.probeText1));
  EXPECT_TRUE(tailIsZero(e.scannedAddress, sizeof e.scannedAddress));
}

TEST_F(PhoneDirectoryTest, EmptyUserNameBecomesUnknown) {
  EXPECT_STREQ(Probe(MakePhone("SN1", "ID1", "")).userName, "Unknown");
}

TEST_F(PhoneDirectoryTest, UpTimeAboveSixThousandTicksIsWholeMinutes) {
  struct Case {
    uint32_t ticks;
    int32_t stored;
  };
  for (Case c : {Case{0, 0}, Case{5999, 5999}, Case{6000, 6000}, Case{6001, 1},
                 Case{11999, 1}, Case{12000, 2}, Case{360000, 60},
                 // TimeTicks are unsigned: past 2^31 they are still minutes, not negative.
                 Case{0x80000000u, 357913}, Case{0xFFFFFFFFu, 715827}}) {
    EXPECT_EQ(ProbeWith({{9, Int32(c.ticks)}}).upTime, c.stored) << c.ticks;
  }
}

TEST_F(PhoneDirectoryTest, IpAddressBytesAreDottedAsUnsignedNumbers) {
  PhoneEntry e = ProbeWith({{0, Ip(10, 0, 0, 7)}, {13, Ip(255, 128, 0, 200)}});
  EXPECT_STREQ(e.probeAddress0, "10.0.0.7");
  EXPECT_STREQ(e.probeAddress13, "255.128.0.200");
}

TEST_F(PhoneDirectoryTest, AddressValueThatIsNotFourBytesLeavesTheFieldEmpty) {
  for (const Bytes& odd : {Bytes{}, Bytes{10, 0, 0}, Bytes{10, 0, 0, 7, 9}, Text("10.0.0.7")}) {
    PhoneEntry e = ProbeWith({{0, odd}, {13, odd}});
    EXPECT_STREQ(e.probeAddress0, "") << odd.size();
    EXPECT_STREQ(e.probeAddress13, "") << odd.size();
  }
}

TEST_F(PhoneDirectoryTest, IntegerValueThatIsNotFourBytesGivesZero) {
  PhoneEntry e = ProbeWith({{8, Text("twelve bytes")},
                            {9, Bytes{1, 2}},
                            {10, Bytes{}},
                            {11, Bytes(512, 0xFF)},
                            {14, Bytes{7}},
                            {15, Bytes{1, 2, 3, 4, 5, 6, 7, 8}}});
  EXPECT_EQ(e.probeInt8, 0);
  EXPECT_EQ(e.upTime, 0);
  EXPECT_EQ(e.probeInt10, 0);
  EXPECT_EQ(e.probeInt11, 0);
  EXPECT_EQ(e.probeInt14, 0);
  EXPECT_EQ(e.probeInt15, 0);
}

TEST_F(PhoneDirectoryTest, OctetStringEndsAtItsFirstZeroByte) {
  PhoneEntry e = ProbeWith(
      {{6, Bytes{'A', 'B', 0, 'C', 'D'}}, {12, Bytes{'j', 'o', 0, 'e'}}, {1, Bytes{0, 'x'}}});
  EXPECT_STREQ(e.serialNumber, "AB");
  EXPECT_STREQ(e.userName, "jo");
  EXPECT_STREQ(e.probeText1, "");
  EXPECT_EQ(e.serialNumber[3], 0) << "nothing after the zero byte is copied";
}

TEST_F(PhoneDirectoryTest, ValueLongerThanItsFieldIsCutKeepingTheTerminator) {
  PhoneAnswer a = MakePhone(std::string(23, 'S'), std::string(24, 'I'), std::string(600, 'u'));
  a[1] = Text(std::string(40, '1'));
  a[3] = Text(std::string(31, '3'));
  PhoneEntry e = Probe(a);
  EXPECT_EQ(std::string(e.serialNumber), std::string(23, 'S'));  // exactly fits
  EXPECT_EQ(std::string(e.identityKey), std::string(23, 'I'));
  EXPECT_EQ(std::string(e.userName), std::string(63, 'u'));
  EXPECT_EQ(std::string(e.probeText1), std::string(31, '1'));
  EXPECT_EQ(std::string(e.probeText3), std::string(23, '3'));
  // The cut never spills into the next field.
  EXPECT_STREQ(e.scannedAddress, "10.0.0.1");
  EXPECT_STREQ(e.probeText2, "Boot 1.07");
  EXPECT_STREQ(e.probeAddress0, "10.0.0.7");
}

TEST_F(PhoneDirectoryTest, AnAddressThatIsNotAPhoneLeavesTheDirectoryUnchanged) {
  // No agent at the address: the request fails, as it does when one object is missing.
  EXPECT_FALSE(directory_.AddPhone("10.0.0.9", "orchid"));
  EXPECT_EQ(directory_.GetPhoneCount(), 0);
  PhoneEntry e{};
  EXPECT_FALSE(directory_.ProbePhone("10.0.0.9", "orchid", e));
  EXPECT_EQ(directory_.GetPhoneCount(), 0);
}

// ---- Agents missing objects --------------------------------------------------------------

TEST_F(PhoneDirectoryTest, AgentMissingAnyOneObjectIsNotAPhone) {
  for (int missing = 0; missing < kDiscoveryObjectCount; ++missing) {
    std::string address = "10.4.0." + std::to_string(missing);
    ServePhone(agents_, address, MakePhone("SN" + address, "ID" + address));
    agents_.Remove(address, "orchid", kDiscoveryObjects[missing]);
    EXPECT_FALSE(directory_.AddPhone(address.c_str(), "orchid")) << missing;
  }
  EXPECT_EQ(directory_.GetPhoneCount(), 0);
  EXPECT_EQ(agents_.RequestCount(), kDiscoveryObjectCount);  // one request per probe

  ASSERT_TRUE(Add("10.4.1.1", MakePhone("SN-OK", "ID-OK", "erin")));
  const PhoneEntry e = Find("sn-ok");
  EXPECT_STREQ(e.userName, "erin");
  EXPECT_STREQ(e.probeAddress0, "10.0.0.7");
  EXPECT_EQ(e.upTime, 60);
}

// ---- Storing and finding -----------------------------------------------------------------

// Two phones probed in turn, the first at the higher address: which entries the directory
// keeps, and where each is found.
TEST(PhoneDirectoryStoreTest, TwoPhonesFoundInTurn) {
  struct Found {
    const char* serial;  // asked for
    int32_t index;
    const char* user;  // nullptr: not checked
  };
  struct Case {
    const char* name;
    PhoneAnswer first, second;
    int32_t count;
    std::vector<Found> found;
  };
  const std::vector<Case> cases = {
      {"stored in the order first found", MakePhone("SN-B", "ID-B"), MakePhone("SN-A", "ID-A"), 2,
       {{"SN-B", 0, nullptr}, {"SN-A", 1, nullptr}}},
      // Latin-1 capital E acute and its small letter: only ASCII letters are folded.
      {"only ASCII letters folded in keys", MakePhone("SN-\xC9", "ID-\xC9"),
       MakePhone("sn-\xE9", "id-\xE9"), 2, {{"sn-\xC9", 0, nullptr}, {"SN-\xE9", 1, nullptr}}},
      // Two keys that differ only after the 23rd character become the same key once cut.
      {"identity cut to its field matches on the cut text",
       MakePhone("SN-A", std::string(23, 'k') + "1"), MakePhone("SN-B", std::string(23, 'K') + "2"),
       1, {}},
      {"same serial, other identity: both kept, find gives the first",
       MakePhone("FA100", "ID-A", "first"), MakePhone("FA100", "ID-B", "second"), 2,
       {{"fa100", 0, "first"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeSnmpClient agents;
    FakeClock clock;
    PhoneDirectory directory(agents, clock);
    ServePhone(agents, "10.0.0.2", c.first);
    ServePhone(agents, "10.0.0.1", c.second);
    ASSERT_TRUE(directory.AddPhone("10.0.0.2", "orchid"));
    ASSERT_TRUE(directory.AddPhone("10.0.0.1", "orchid"));
    EXPECT_EQ(directory.GetPhoneCount(), c.count);
    for (const Found& f : c.found) {
      PhoneEntry e{};
      ASSERT_TRUE(directory.FindPhoneBySerial(f.serial, e)) << f.serial;
      EXPECT_EQ(e.index, f.index) << f.serial;
      if (f.user != nullptr) {
        EXPECT_STREQ(e.userName, f.user);
      }
    }
  }
}

TEST_F(PhoneDirectoryTest, PhoneFoundAgainWithIdentityInOtherCaseReplacesItsEntry) {
  ASSERT_TRUE(Add("10.0.0.1", MakePhone("SN-A", "ID-A")));
  ASSERT_TRUE(Add("10.0.0.2", MakePhone("SN-B", "Mac-Ab:Cd")));
  clock_.SetWallSeconds(1'900'000'000);
  ASSERT_TRUE(Add("10.0.5.5", MakePhone("SN-B2", "mAC-aB:cD", "carol")));

  EXPECT_EQ(directory_.GetPhoneCount(), 2);
  PhoneEntry e = Find("SN-B2");
  EXPECT_EQ(e.index, 1);
  EXPECT_STREQ(e.scannedAddress, "10.0.5.5");
  EXPECT_STREQ(e.identityKey, "mAC-aB:cD");
  EXPECT_STREQ(e.userName, "carol");
  EXPECT_EQ(e.probeTime, 1'900'000'000);
  PhoneEntry none{};
  EXPECT_FALSE(directory_.FindPhoneBySerial("SN-B", none));
  EXPECT_EQ(Find("SN-A").index, 0);
}

TEST_F(PhoneDirectoryTest, PhonesAreNeverMergedInSilence) {
  // An empty identity key identifies nothing: each such phone keeps an entry of its own,
  // found again only at its own address.
  ASSERT_TRUE(Add("10.0.0.1", MakePhone("SN-A", "")));
  ASSERT_TRUE(Add("10.0.0.2", MakePhone("SN-B", "")));
  ASSERT_TRUE(directory_.AddPhone("10.0.0.2", "orchid"));
  EXPECT_EQ(directory_.GetPhoneCount(), 2);
  EXPECT_STREQ(Find("SN-A").scannedAddress, "10.0.0.1");
  EXPECT_STREQ(Find("SN-B").scannedAddress, "10.0.0.2");
  EXPECT_TRUE(directory_.NotKept().empty());

  // The same identity key from another address takes the entry, and the phone it displaces
  // is set aside with the clash named; found again, it is held again and the other set aside.
  ASSERT_TRUE(Add("10.0.0.3", MakePhone("SN-C", "ID-X")));
  ASSERT_TRUE(Add("10.0.0.4", MakePhone("SN-D", "id-x")));
  EXPECT_EQ(directory_.GetPhoneCount(), 3);
  ASSERT_EQ(directory_.NotKept().size(), 1u);
  EXPECT_STREQ(directory_.NotKept()[0].entry.serialNumber, "SN-C");
  EXPECT_EQ(directory_.NotKept()[0].reason, "same identity key \"id-x\" as the phone at 10.0.0.4");
  ASSERT_TRUE(directory_.AddPhone("10.0.0.3", "orchid"));
  ASSERT_EQ(directory_.NotKept().size(), 1u);
  EXPECT_STREQ(directory_.NotKept()[0].entry.scannedAddress, "10.0.0.4");
  EXPECT_EQ(directory_.Entries().size(), 3u);
}

TEST_F(PhoneDirectoryTest, ASerialNumberTooLongForItsFieldIsRefusedAndNamed) {
  // Cut, it would name the phone wrongly and sign every frame with the wrong key.
  const std::string serial(24, 'S');
  testing::TraceRecorder trace;
  EXPECT_FALSE(Add("10.0.0.1", MakePhone(serial, "ID-A")));
  EXPECT_EQ(directory_.GetPhoneCount(), 0);
  ASSERT_EQ(directory_.NotKept().size(), 1u);
  EXPECT_EQ(directory_.NotKept()[0].reason,
            "serial number \"" + serial + "\" is longer than 23 characters");
  EXPECT_STREQ(directory_.NotKept()[0].entry.scannedAddress, "10.0.0.1");
  ASSERT_EQ(trace.Lines().size(), 1u);
  EXPECT_THAT(trace.Lines()[0], HasSubstr("Phone at 10.0.0.1 not kept: serial number"));
}

TEST_F(PhoneDirectoryTest, FindWithoutMatchLeavesTheRecordAsPassed) {
  PhoneEntry zeroed{};
  EXPECT_FALSE(directory_.FindPhoneBySerial("FA1", zeroed));  // before any entry exists
  ASSERT_TRUE(Add("10.0.0.1", MakePhone("FA100", "ID-A")));

  EXPECT_FALSE(directory_.FindPhoneBySerial("FA10", zeroed));
  PhoneEntry blank{};
  EXPECT_EQ(std::memcmp(&zeroed, &blank, sizeof blank), 0);

  PhoneEntry filled;
  std::memset(&filled, 0x5A, sizeof filled);
  PhoneEntry before = filled;
  EXPECT_FALSE(directory_.FindPhoneBySerial("FA1000", filled));
  EXPECT_FALSE(directory_.FindPhoneBySerial(nullptr, filled));
  EXPECT_EQ(std::memcmp(&filled, &before, sizeof before), 0);
}

TEST_F(PhoneDirectoryTest, FindCopiesTheWholeEntry) {
  ASSERT_TRUE(Add("10.0.0.1", MakePhone("FA100", "ID-A", "dora")));
  PhoneEntry probed{};
  ASSERT_TRUE(directory_.ProbePhone("10.0.0.1", "orchid", probed));
  PhoneEntry found;
  std::memset(&found, 0x77, sizeof found);
  ASSERT_TRUE(directory_.FindPhoneBySerial("Fa100", found));
  EXPECT_EQ(std::memcmp(&found, &probed, sizeof found), 0);
}

// ---- A full directory --------------------------------------------------------------------

TEST_F(PhoneDirectoryTest, PhoneBeyondCapacityIsRefusedAndNothingIsOverwritten) {
  testing::TraceRecorder trace;
  for (int i = 0; i < kDirectoryCapacity; ++i) {
    const std::string n = std::to_string(i);
    ASSERT_TRUE(Add("10.0.0.1", MakePhone("SN" + n, "ID" + n))) << i;
  }
  ASSERT_EQ(directory_.GetPhoneCount(), kDirectoryCapacity);

  EXPECT_FALSE(Add("10.0.9.9", MakePhone("SN-NEW", "ID-NEW")));
  EXPECT_EQ(directory_.GetPhoneCount(), kDirectoryCapacity);
  PhoneEntry e{};
  EXPECT_FALSE(directory_.FindPhoneBySerial("SN-NEW", e));
  EXPECT_EQ(Find("SN4095").index, 4095);
  EXPECT_EQ(Find("SN0").index, 0);
  ASSERT_EQ(trace.Lines().size(), 1u);
  EXPECT_EQ(trace.Lines()[0],
            "Phone directory full (4096 entries), phone SN-NEW at 10.0.9.9 not stored\r\n");

  // A phone already stored is still refreshed when the directory is full.
  EXPECT_TRUE(Add("10.0.9.8", MakePhone("SN4095-B", "id4095")));
  EXPECT_STREQ(Find("SN4095-B").scannedAddress, "10.0.9.8");
  EXPECT_EQ(directory_.GetPhoneCount(), kDirectoryCapacity);
}

// ---- Concurrency -------------------------------------------------------------------------

TEST_F(PhoneDirectoryTest, ConcurrentProbesOfOnePhoneLeaveOneEntry) {
  // The same phone under 16 addresses, its identity in varying letter case.
  std::vector<std::pair<std::string, PhoneAnswer>> phones;
  for (int i = 0; i < 16; ++i) {
    phones.emplace_back("10.0.1." + std::to_string(i),
                        MakePhone("SN1", i % 2 ? "PHONE-ID" : "phone-id"));
  }
  AddAtOnce(phones);
  EXPECT_EQ(directory_.GetPhoneCount(), 1);
  EXPECT_EQ(Find("SN1").index, 0);
}

TEST_F(PhoneDirectoryTest, ConcurrentProbesOfDistinctPhonesGetDistinctPositions) {
  constexpr int kThreads = 32;
  std::vector<std::pair<std::string, PhoneAnswer>> phones;
  for (int i = 0; i < kThreads; ++i) {
    const std::string n = std::to_string(i);
    phones.emplace_back("10.0.2." + n, MakePhone("SN" + n, "ID" + n));
  }
  AddAtOnce(phones);

  ASSERT_EQ(directory_.GetPhoneCount(), kThreads);
  std::vector<int> seen(kThreads, 0);
  for (int i = 0; i < kThreads; ++i) {
    PhoneEntry e = Find(("SN" + std::to_string(i)).c_str());
    ASSERT_GE(e.index, 0);
    ASSERT_LT(e.index, kThreads);
    ++seen[static_cast<std::size_t>(e.index)];
  }
  EXPECT_THAT(seen, ::testing::Each(1));
}

// ---- Community ---------------------------------------------------------------------------

TEST_F(PhoneDirectoryTest, CommunityStartsAsOrchidAndKeepsAtMost255Characters) {
  EXPECT_STREQ(directory_.GetCommunity(), "orchid");
  std::string longText(300, 'c');
  directory_.SetCommunity(longText.c_str());
  EXPECT_EQ(std::string(directory_.GetCommunity()), std::string(255, 'c'));
}

// ---- Loop tests for the phones -----------------------------------------------------------

TEST_F(PhoneDirectoryTest, CreateLoopTestsForPhonesMakesEachOnceInDirectoryOrder) {
  SessionRegistry registry(clock_, [](const uint8_t*, int, uint32_t) { return 0; });
  directory_.CreateLoopTestsForPhones(registry);  // empty directory: nothing
  EXPECT_EQ(registry.Count(), 0);

  ASSERT_TRUE(Add("10.0.0.1", MakePhone("FA-2", "ID-2")));
  ASSERT_TRUE(Add("10.0.0.2", MakePhone("FA-1", "ID-1")));
  directory_.CreateLoopTestsForPhones(registry);
  directory_.CreateLoopTestsForPhones(registry);
  ASSERT_EQ(registry.Count(), 2);

  // A phone whose serial now differs only in case keeps its LoopTest.
  ASSERT_TRUE(Add("10.0.0.3", MakePhone("fa-1", "ID-1")));
  directory_.CreateLoopTestsForPhones(registry);
  EXPECT_EQ(registry.Count(), 2);

  std::vector<std::string> names;
  registry.ForEach([&](int, LoopTest& t) { names.emplace_back(t.SerialNumber()); });
  EXPECT_THAT(names, ElementsAreArray({"FA-2", "FA-1"}));
}

TEST_F(PhoneDirectoryTest, CreateLoopTestsForPhonesDoesNotHoldTheDirectoryLock) {
  // Holders of the registry lock look phones up in the directory (the list rebuild): a
  // lookup from inside the registry's lock must not deadlock against this call.
  ASSERT_TRUE(Add("10.0.0.1", MakePhone("FA-1", "ID-1")));
  SessionRegistry registry(clock_, [](const uint8_t*, int, uint32_t) { return 0; });
  std::unique_lock registryLock(registry.Mutex());
  std::thread creator([&] { directory_.CreateLoopTestsForPhones(registry); });
  // Give the creator time to reach the registry lock; the directory must stay free for
  // the lock holder meanwhile.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  PhoneEntry e{};
  ASSERT_TRUE(directory_.FindPhoneBySerial("FA-1", e));
  registryLock.unlock();
  creator.join();
  EXPECT_EQ(registry.Count(), 1);
}

}  // namespace
}  // namespace pathmon
