// SPDX-License-Identifier: Apache-2.0
// The JSON report: the phones' bytes as text, the documented layout, the atomic write.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <regex>

#include "JsonValue.h"
#include "cli/JsonReport.h"
#include "support/TempDir.h"

namespace pathmon::cli {
namespace {

using pathmon::testing::JsonValue;
using pathmon::testing::ParseJson;
using pathmon::testing::ReadFile;

TEST(Utf8OrLatin1, Utf8PassesAndOtherBytesReadAsLatin1) {
  EXPECT_EQ(Utf8OrLatin1("Jos\xc3\xa9 \xe2\x82\xac \xf0\x9f\x93\x9e"),
            "Jos\xc3\xa9 \xe2\x82\xac \xf0\x9f\x93\x9e");
  EXPECT_EQ(Utf8OrLatin1("Jos\xe9"), "Jos\xc3\xa9");                 // Latin-1 byte
  EXPECT_EQ(Utf8OrLatin1("\xc3"), "\xc3\x83");                       // cut sequence
  EXPECT_EQ(Utf8OrLatin1("\xc0\xaf"), "\xc3\x80\xc2\xaf");            // overlong "/"
  EXPECT_EQ(Utf8OrLatin1("\xed\xa0\x80"), "\xc3\xad\xc2\xa0\xc2\x80");  // surrogate
  EXPECT_EQ(Utf8OrLatin1("\xf4\x90\x80\x80"), "\xc3\xb4\xc2\x90\xc2\x80\xc2\x80");  // > U+10FFFF
  // Every byte value survives as a character of the same number, also through the report.
  std::string all;
  for (int b = 1; b < 256; ++b) all += static_cast<char>(b);
  std::string back = Utf8OrLatin1(all);
  EXPECT_EQ(back.substr(0, 127), all.substr(0, 127));
  EXPECT_EQ(back.size(), 127u + 128u * 2u);  // 0x80..0xFF as two-byte UTF-8
  RunReport r;
  PhoneReport p;
  std::snprintf(p.entry.userName, sizeof p.entry.userName, "%s", all.substr(150).c_str());
  r.phones.push_back(p);
  JsonValue doc;
  std::string error;
  ASSERT_TRUE(ParseJson(FormatReport(r), doc, error)) << error;
  EXPECT_EQ(doc["phones"][0]["userName"].get<std::string>(), Utf8OrLatin1(all.substr(150, 63)));
}

PhoneEntry Entry(const char* serial, const char* user) {
  PhoneEntry e{};
  std::snprintf(e.serialNumber, sizeof e.serialNumber, "%s", serial);
  std::snprintf(e.userName, sizeof e.userName, "%s", user);
  std::snprintf(e.scannedAddress, sizeof e.scannedAddress, "10.0.0.1");
  e.upTime = 42;
  e.probeTime = 1796740000;
  return e;
}

TEST(FormatReport, DocumentedLayoutWithEveryCycle) {
  RunReport r;
  r.startedAt = 1796740000;
  r.endedAt = 1796740070;
  r.durationMinutes = 1;
  r.maxConcurrentTests = 10;
  r.exitStatus = 1;
  PhoneReport p;
  p.entry = Entry("SN1", "CORP\\bob\x1b[2J");
  p.selected = true;
  p.state = "finished";
  p.stage = TestStage::kEnded;
  p.endReason = TestEnd::kDuration;
  p.historyFile = "CORP_bob_SN1.txt";
  const TestStatistics good{.avgRtt = 40, .received = 2990, .sent = 3000};
  const TestStatistics slow{.avgRtt = 200, .maxRtt = -7, .received = 2990, .sent = 3000};
  VoiceQuality outage;
  outage.loss.sent = 3000;
  outage.score.mos = 4.1;
  outage.worstWindowMos = 1.0;
  outage.poorWindows = 1;
  outage.windows.resize(6);
  outage.interruptions.push_back({1796740010'000'000'000, 1000, 150, 3});
  p.cycles = {{1796740030, good, outage}, {1796740060, slow, {}}};
  r.phones.push_back(p);
  PhoneReport other;
  other.entry = Entry("SN2", "carol");
  // A record whose texts fill their fields without a terminator is never read past them.
  std::memset(other.entry.userName, 'u', sizeof other.entry.userName);
  other.state = "not-selected";
  r.phones.push_back(other);

  JsonValue doc;
  std::string error;
  ASSERT_TRUE(ParseJson(FormatReport(r), doc, error)) << error;
  EXPECT_EQ(doc["schema"].get<double>(), kReportSchema);
  EXPECT_EQ(doc["exitStatus"].get<double>(), 1);
  EXPECT_EQ(doc["durationMinutes"].get<double>(), 1);
  EXPECT_EQ(doc["usableRule"]["maxAvgRtt"].get<double>(), 150);
  EXPECT_EQ(doc["usableRule"]["maxInterruptions"].get<double>(), 10);
  EXPECT_FALSE(doc["interrupted"].get<bool>());
  ASSERT_EQ(doc["phones"].size(), 2u);
  JsonValue p1 = doc["phones"][0];
  EXPECT_EQ(p1["serialNumber"].get<std::string>(), "SN1");
  EXPECT_EQ(p1["userName"].get<std::string>(), "CORP\\bob\x1b[2J");
  EXPECT_EQ(p1["upTime"].get<double>(), 42);
  EXPECT_TRUE(p1["logFile"].is_null());
  EXPECT_EQ(p1["outcome"].get<std::string>(), "unusable");  // its verdict, by its cycles
  EXPECT_EQ(doc["phones"][1]["outcome"].get<std::string>(), "not-tested");
  for (const char* key : {"identityKey", "scannedAddress", "probeAddress0", "probeText1",
                          "probeText2", "probeText3", "probeInt8", "probeInt10", "probeInt11",
                          "probeAddress13", "probeInt14", "probeInt15", "probeTime"}) {
    EXPECT_TRUE(p1.contains(key)) << key;
  }
  ASSERT_EQ(p1["cycles"].size(), 2u);
  EXPECT_EQ(p1["cycles"][0]["epochSeconds"].get<double>(), 1796740030);
  EXPECT_EQ(p1["cycles"][0]["received"].get<double>(), 2990);
  EXPECT_TRUE(p1["cycles"][0]["usable"].get<bool>());
  JsonValue voice = p1["cycles"][0]["voice"];
  for (const char* key : {"rttMinUs", "rttMeanUs", "rttP50Us", "rttP95Us", "rttP99Us", "rttMaxUs",
                          "jitterUs", "lossPercent", "lossP", "lossQ", "burstR", "mouthToEarMs",
                          "rFactor", "mos", "worstWindowMos", "poorWindows", "windows",
                          "interruptions", "sender"}) {
    EXPECT_TRUE(voice.contains(key)) << key;
  }
  EXPECT_EQ(voice["worstWindowMos"].get<double>(), 1.0);
  EXPECT_EQ(voice["windows"].size(), 6u);
  EXPECT_EQ(voice["interruptions"][0]["time"].get<std::string>(), IsoLocalTime(1796740010));
  EXPECT_EQ(voice["interruptions"][0]["count"].get<double>(), 3);
  EXPECT_FALSE(voice["sender"]["hostLimited"].get<bool>());
  EXPECT_EQ(p1["cycles"][1]["avgRtt"].get<double>(), 200);
  EXPECT_EQ(p1["cycles"][1]["maxRtt"].get<double>(), -7);
  EXPECT_FALSE(p1["cycles"][1]["usable"].get<bool>());
  EXPECT_EQ(doc["phones"][1]["userName"].get<std::string>(), std::string(63, 'u'));
  EXPECT_TRUE(doc["phones"][1]["cycles"].empty());
}

// Figures in microseconds keep three decimals, rounded, whatever the double holds.
TEST(FormatReport, MicrosecondFiguresKeepThreeDecimals) {
  VoiceQuality v;
  v.rtt = {35331.14167694834, 35331.1415, 0.0004999, 1e-9, 2.00049, 99999.9999};
  v.jitterUs = v.sender.latenessP99Us = 35331.14167694834;
  v.windows.resize(1);
  v.windows[0].p50Us = v.windows[0].p95Us = 1.23456789;
  const std::string text = VoiceJson(v).dump();
  EXPECT_NE(text.find("\"jitterUs\":35331.142,"), std::string::npos) << text;
  EXPECT_NE(text.find("\"rttMaxUs\":100000.0,"), std::string::npos) << text;
  EXPECT_FALSE(std::regex_search(text, std::regex("Us\":-?[0-9]+\\.[0-9]{4}"))) << text;
}

TEST(IsoLocalTime, CarriesTheOffset) {
  std::string t = IsoLocalTime(1796740000);
  ASSERT_EQ(t.size(), 25u) << t;
  EXPECT_EQ(t[10], 'T');
  EXPECT_EQ(t[22], ':');
}

class AtomicWrite : public ::testing::Test {
 protected:
  pathmon::testing::TempDir dir{"cli-json"};
};

TEST_F(AtomicWrite, ReplacesTheWholeFileAndLeavesNoTemporary) {
  std::string path = dir.Path() + "/r.json";
  std::string error;
  ASSERT_TRUE(WriteFileAtomically(path, "{\"a\":1}\n", error)) << error;
  ASSERT_TRUE(WriteFileAtomically(path, "{}\n", error)) << error;
  EXPECT_EQ(ReadFile(path), "{}\n");
  EXPECT_EQ(dir.Names(), std::vector<std::string>{"r.json"});
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
}

TEST_F(AtomicWrite, FailureKeepsTheOldFileAndSaysWhy) {
  std::string path = dir.Path() + "/r.json";
  std::string error;
  ASSERT_TRUE(WriteFileAtomically(path, "old\n", error));
  // A directory where the file should go: the rename fails.
  std::string blocked = dir.Path() + "/sub";
  ASSERT_EQ(::mkdir(blocked.c_str(), 0755), 0);
  EXPECT_FALSE(WriteFileAtomically(blocked, "new\n", error));
  EXPECT_NE(error.find(blocked), std::string::npos) << error;
  ::rmdir(blocked.c_str());
  EXPECT_FALSE(WriteFileAtomically(dir.Path() + "/missing/r.json", "new\n", error));
  EXPECT_EQ(ReadFile(path), "old\n");
  EXPECT_EQ(dir.Names(), std::vector<std::string>{"r.json"});
}

}  // namespace
}  // namespace pathmon::cli
