// SPDX-License-Identifier: Apache-2.0
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "sim/PhoneConfig.h"

namespace pathmon::sim {
namespace {

TEST(PhoneLine, EscapesAndQuotesGiveExactBytes) {
  EXPECT_EQ(Unescape(R"(a\\b\"c\r\n\t\x41\x7e\0z)"), std::string("a\\b\"c\r\n\tA~\0z", 12));
  EXPECT_THROW(Unescape("bad\\"), ConfigError);
  EXPECT_THROW(Unescape("\\x4"), ConfigError);
  EXPECT_THROW(Unescape("\\q"), ConfigError);

  const auto words = SplitWords(R"(  127.1.2.3  "user=LAB\\bob smith" text1=a\ b  log1.2="x y"z )");
  ASSERT_EQ(words.size(), 4u);
  EXPECT_EQ(words[1], "user=LAB\\bob smith");
  EXPECT_EQ(words[2], "text1=a b");
  EXPECT_EQ(words[3], "log1.2=x yz");
  EXPECT_THROW(SplitWords("a \"b"), ConfigError);
}

TEST(PhoneLine, DefaultsDeriveFromTheAddressAndGivenEmptyValuesStayEmpty) {
  const PhoneConfig p = ParsePhoneLine("127.10.2.3");
  EXPECT_EQ(p.address, "127.10.2.3");
  EXPECT_EQ(p.serial, "FL010002003");
  EXPECT_EQ(p.identityKey, "ID010002003");
  EXPECT_EQ(p.user, "user010002003");
  EXPECT_EQ(p.community, "orchid");
  EXPECT_EQ(p.log1.size(), 12u);
  EXPECT_EQ(p.log2.size(), 3u);
  EXPECT_FALSE(p.upTime);

  const PhoneConfig empty = ParsePhoneLine("127.10.2.4 serial= user= key=");
  EXPECT_EQ(empty.serial, "");
  EXPECT_EQ(empty.user, "");
  EXPECT_EQ(empty.identityKey, "");
}

TEST(PhoneLine, EverySettingLands) {
  const PhoneConfig p = ParsePhoneLine(
      "127.0.0.9 community=c1 serial=S key=K user=U addr0=1.2.3.4 addr13=5.6.7.8 text1=a text2=b "
      "text3=c obj4=-4 obj5=five int8=8 int10=10 int11=11 int14=14 int15=15 uptime=6001 "
      "missing=3,7-8 snmp-silent drop=100-109,300,500-549 loss=0.02 rng=7 delay=100 jitter=30 "
      "outage=25 every=10 offhook-after=2.5 offhook-for=3 offhook=0 silent=0 rotate=500 "
      "log1=2 log1.5=five log2=4 log2-skip=2-3");
  EXPECT_EQ(p.community, "c1");
  EXPECT_EQ(p.addr0, "1.2.3.4");
  EXPECT_EQ(p.obj4, -4);
  EXPECT_EQ(p.int15, 15);
  EXPECT_EQ(p.upTime, 6001u);
  EXPECT_EQ(p.missingObjects, (std::vector<int>{3, 7, 8}));
  EXPECT_TRUE(p.snmpSilent);
  EXPECT_EQ(p.drop, (std::vector<SeqRange>{{100, 109}, {300, 300}, {500, 549}}));
  EXPECT_DOUBLE_EQ(p.loss, 0.02);
  EXPECT_EQ(p.rng, 7u);
  EXPECT_EQ(p.delayMs, 100);
  EXPECT_EQ(p.jitterMs, 30);
  EXPECT_EQ(p.outageFrames, 25);
  EXPECT_EQ(p.outageEverySec, 10);
  EXPECT_EQ(p.offHookAfterSec, 2.5);
  EXPECT_EQ(p.offHookForSec, 3.0);
  EXPECT_FALSE(p.offHook);
  EXPECT_FALSE(p.udpSilent);
  EXPECT_EQ(p.rotateEvery, 500);
  EXPECT_EQ(p.log1.size(), 3u);
  EXPECT_EQ(p.log1.at(5), "five");
  EXPECT_EQ(p.log2.size(), 2u);
  EXPECT_EQ(p.log2.count(2), 0u);
  EXPECT_EQ(p.log2.count(4), 1u);

  // A dash makes an outage one by time; the count of frames stays as it was.
  const PhoneConfig timed = ParsePhoneLine("127.0.0.9 outage=25 outage=12.0-15.5,30-33");
  EXPECT_EQ(timed.outageTimes, (std::vector<TimeRange>{{12, 15.5}, {30, 33}}));
  EXPECT_EQ(timed.outageFrames, 25);
}

TEST(PhoneLine, RejectsWhatWouldMisbehave) {
  for (const char* line : {
           "",                      // no address
           "10.0.0.1",              // not loopback: no traffic outside 127/8
           "127.0.0.256",           // not an address
           "127.0.0.1 colour=red",  // unknown key
           "127.0.0.1 drop=9-3",    // backwards range
           "127.0.0.1 drop=1,,2",   // empty part
           "127.0.0.1 drop=5,",     // trailing comma
           "127.0.0.1 loss=1.5",    // not a probability
           "127.0.0.1 loss=nan",
           "127.0.0.1 delay=-1",
           "127.0.0.1 every=0",      // an outage every 0 s would never end
           "127.0.0.1 outage=15-12",  // an outage by time that ends before it starts
           "127.0.0.1 outage=1-2,",
           "127.0.0.1 addr0=1.2.3",  // IpAddress values must be addresses
           "127.0.0.1 missing=16",   // positions 0-15 only
           "127.0.0.1 log1.0=x",     // rows from 1
           "127.0.0.1 int8=12abc",
           "127.0.0.1 uptime=1.5",
           "127.0.0.1 uptime=4294967296",
           "127.0.0.1 silent=maybe",
           "127.0.0.1 =x",
           "127.0.0.1 set=1.3.6:q:1",  // unknown type
           "127.0.0.1 set=1..3:s:x",   // malformed identifier
           "127.0.0.1 set=1.3.6",      // no type
           "127.0.0.1 set=1.3:i:2147483648",
           "127.0.0.1 set=1.3:u:-1",
           "127.0.0.1 set=1.3:x:abc",      // odd hex
           "127.0.0.1 set=1.3:r:70000:a",  // larger than a datagram
           "127.0.0.1 set=1.3:r:5:",       // nothing to repeat
           "127.0.0.1 set=1.3:a:1.2.3",
           "127.0.0.1 unset=x",
       }) {
    EXPECT_THROW(ParsePhoneLine(line), ConfigError) << line;
  }
}

TEST(Fleet, CommentsBlankLinesAndLineNumbersInErrors) {
  const auto phones = ParseFleet(
      "# fleet\n"
      "127.10.0.1 serial=A # trailing\n"
      "\n"
      "   \t\n"
      "127.10.0.2 \"user=has # inside quotes\" serial=B\r\n"
      "127.10.0.3 user=hash\\#escaped\n");
  ASSERT_EQ(phones.size(), 3u);
  EXPECT_EQ(phones[0].serial, "A");
  EXPECT_EQ(phones[1].user, "has # inside quotes");
  EXPECT_EQ(phones[1].serial, "B");
  EXPECT_EQ(phones[2].user, "hash#escaped");

  EXPECT_THAT([] { ParseFleet("127.10.0.1\n# ok\n127.10.0.2 bogus=1\n"); },
              ::testing::ThrowsMessage<ConfigError>(::testing::HasSubstr("line 3")));
}

TEST(Fleet, QuickFleetIsConsecutiveAndGenerated) {
  const auto phones = QuickFleet(5, "127.10.1.254", {"delay=5", "user=fixed"});
  ASSERT_EQ(phones.size(), 5u);
  EXPECT_EQ(phones[0].address, "127.10.1.254");
  EXPECT_EQ(phones[2].address, "127.10.2.0");
  EXPECT_EQ(phones[4].serial, "QF000005");
  EXPECT_EQ(phones[4].identityKey, "QK000005");
  EXPECT_EQ(phones[4].delayMs, 5);
  EXPECT_EQ(phones[4].user, "fixed");

  const auto plain = QuickFleet(4, "127.10.1.1", {});
  EXPECT_EQ(plain[0].user, "quick1");
  EXPECT_EQ(plain[3].user, "LAB\\quick4");
  EXPECT_THROW(QuickFleet(2, "10.0.0.1", {}), ConfigError);
  EXPECT_THROW(QuickFleet(2, "127.255.255.255", {}), ConfigError);
}

}  // namespace
}  // namespace pathmon::sim
