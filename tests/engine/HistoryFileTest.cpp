// SPDX-License-Identifier: Apache-2.0
// The history file: the line's time stamp and layout, which events write, append-only
// files, and file names that always stay in their directory.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <sys/stat.h>

#include "engine/HistoryFile.h"
#include "engine/VoiceHistory.h"
#include "support/FileObstacles.h"
#include "support/TempDir.h"

namespace pathmon {
namespace {

namespace fs = std::filesystem;
using testing::ReadFile;

std::tm At(int year, int month, int day, int hour, int minute, int second) {
  std::tm t{};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_sec = second;
  return t;
}

TEST(HistoryStampTest, MonthDayYearThenTheTime) {
  EXPECT_EQ(FormatHistoryStamp(At(2026, 12, 7, 15, 30, 5)), "12:07:2026 15:30:05 <PATHMON>");
  EXPECT_EQ(FormatHistoryStamp(At(2027, 1, 1, 0, 0, 0)), "01:01:2027 00:00:00 <PATHMON>");
  EXPECT_EQ(FormatHistoryStamp(At(2030, 9, 30, 23, 59, 59)), "09:30:2030 23:59:59 <PATHMON>");
}

// Names made from a phone's texts stay in their folder, are visible, and carry no control
// character: C0, DEL and C1, the last as UTF-8 (C2 80-C2 9F, one "_" each) or, in text that
// is not UTF-8, as single bytes.
TEST(FileNameTest, PhoneTextsMakeVisibleNamesInTheFolder) {
  struct Case {
    std::string user, serial, history;
  };
  const Case cases[] = {
      {"alice", "SN1", "alice_SN1.txt"},
      {"CORP\\bob", "SN1", "CORP_bob_SN1.txt"},
      {"/etc/passwd", "a/b\\c", "_etc_passwd_a_b_c.txt"},
      {"", "SN1", "_SN1.txt"},
      {"../x", "SN1", "_._x_SN1.txt"},
      {".", "", "__.txt"},
      {".hidden", "SN1", "_hidden_SN1.txt"},
      {"a\x1b[2J\r\n\t\x7f", std::string("S\0N", 3), "a_[2J_____S_N.txt"},
      {"Jos\xc3\xa9\xc2\xa0", "SN1", "Jos\xc3\xa9\xc2\xa0_SN1.txt"},  // UTF-8 kept
      {"x\xc2\x9b" "2J\xc2\x80", "SN1", "x_2J__SN1.txt"},          // C1 as UTF-8
      {"x\x9b" "2J\xe9", "SN1", "x_2J\xe9_SN1.txt"},                // C1 as a byte, Latin-1
      {"\xc2\x9b\xff", "SN1", "\xc2_\xff_SN1.txt"},                // not UTF-8: bytes
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.user) + " " + ::testing::PrintToString(c.serial));
    EXPECT_EQ(HistoryFileName(c.user, c.serial), c.history);
    std::string log = c.history.substr(0, c.history.size() - 4) + "_log.txt";
    EXPECT_EQ(LogFileName(c.user, c.serial), log);
  }
  EXPECT_EQ(SafeFileName(".."), "_.");
  EXPECT_EQ(SafeFileName("."), "_");
  EXPECT_EQ(SafeFileName(""), "_");
}

class HistoryWriterTest : public ::testing::Test {
 protected:
  HistoryWriterTest() : writer((dir / "inner").string(), [this] { return now; }, failures) {
    fs::create_directories(dir / "inner");
    stats.sent = 15000;
    stats.lost = 65;
    stats.interruptions = 1;
    stats.maxBurstLost = 13;
    stats.avgRtt = 54;
    stats.maxRtt = 112;
  }
  ~HistoryWriterTest() override { ::chmod((dir / "inner").c_str(), 0755); }

  void Cycle() { writer.OnCycleResult(CycleResult{{"SN1", userName, 0}, 0, stats, {}}); }
  std::vector<std::string> Files() const {
    std::vector<std::string> names;
    for (const auto& e : fs::recursive_directory_iterator(dir)) {
      if (e.is_regular_file()) names.push_back(fs::relative(e.path(), dir).string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  testing::TempDir temp{"history"};
  const fs::path dir = temp.Path();
  std::string userName = "alice";
  TestStatistics stats;
  std::tm now = At(2026, 12, 7, 15, 30, 5);
  WriteFailures failures;
  HistoryWriter writer;
};

constexpr const char* kLine =
    "INTERRUPTIONS:  1 MAXBURSTLOST:   13 SEND:15000 LOST:   65 DELAYED:    0 AVGRTT:   54 "
    "MAXRTT:  112";

// Beside the history file, one JSON object a line: the cycle's figures, its voice figures
// and the time, each line whole, appended.
TEST_F(HistoryWriterTest, TheVoiceHistoryGainsOneJsonObjectALinePerCycle) {
  VoiceHistoryWriter voiceWriter((dir / "inner").string(), failures);
  VoiceQuality voice;
  voice.score.mos = 4.25;
  voice.interruptions.push_back({1796740010'000'000'000, 1000, 150, 3});
  for (int64_t at : {1796740000, 1796740300}) {
    voiceWriter.OnCycleResult(CycleResult{{"SN1", "DOMAIN\\alice", 0}, at, stats, voice});
  }
  const std::string text = ReadFile(dir / "inner" / "DOMAIN_alice_SN1.voice.jsonl");
  std::istringstream lines(text);
  std::string line;
  std::vector<int64_t> times;
  while (std::getline(lines, line)) {
    const auto cycle = nlohmann::json::parse(line);
    times.push_back(cycle["epochSeconds"].get<int64_t>());
    EXPECT_EQ(cycle["time"], IsoLocalTime(times.back()));
    EXPECT_EQ(cycle["lost"], 65);
    EXPECT_EQ(cycle["maxRtt"], 112);
    EXPECT_EQ(cycle["voice"]["mos"], 4.25);
    EXPECT_EQ(cycle["voice"]["interruptions"][0]["lost"], 150);
  }
  EXPECT_EQ(times, (std::vector<int64_t>{1796740000, 1796740300}));
  EXPECT_EQ(text.back(), '\n');
  EXPECT_TRUE(failures.All().empty());
}

TEST_F(HistoryWriterTest, OnlyTheCycleResultWrites) {
  const TestIdentity phone{"SN1", userName, 0};
  writer.OnStarted(TestStarted{phone, 0});
  writer.OnProgress(TestProgress{phone, 0, 1});
  writer.OnFinished(TestFinished{phone, 0});
  EXPECT_TRUE(Files().empty());
}

TEST_F(HistoryWriterTest, EachCycleResultAppendsOneStampedLineEndingInCrLf) {
  Cycle();
  now = At(2026, 12, 7, 15, 35, 5);
  Cycle();
  EXPECT_EQ(ReadFile(dir / "inner" / "alice_SN1.txt"),
            std::string("12:07:2026 15:30:05 <PATHMON>") + kLine + "\r\n" +
                "12:07:2026 15:35:05 <PATHMON>" + kLine + "\r\n");
}

TEST_F(HistoryWriterTest, AUserNameWithPathCharactersStaysInTheDirectory) {
  for (const char* name : {"DOMAIN\\user", "../escaped", "/abs/path", ""}) {
    userName = name;
    Cycle();
  }
  EXPECT_EQ(Files(), (std::vector<std::string>{"inner/DOMAIN_user_SN1.txt",
                                               "inner/_._escaped_SN1.txt",
                                               "inner/_SN1.txt",
                                               "inner/_abs_path_SN1.txt"}));
}

// Whatever keeps a line from its file, the test goes on, the line is reported once with the
// file's name and counted, and nothing else is written to: not the target of a planted
// symlink, not a FIFO (no wait for a reader), not half a line on a full disk.
TEST_F(HistoryWriterTest, ALineThatCannotBeWrittenIsReportedAndCounted) {
  const std::string inner = (dir / "inner").string();
  std::string file;
  struct Case {
    const char* name;
    std::function<bool(std::string*)> obstruct;  // false: skipped, with the reason
    const char* reason;
  };
  const std::string elsewhere = (dir / "elsewhere.txt").string();
  const std::vector<Case> cases = {
      {"read-only folder",
       [&](std::string* why) { return testing::MountSmallTmpfs(inner, 65536, true, why); },
       "Read-only file system"},
      {"full file system",
       [&](std::string* why) {
         if (!testing::MountSmallTmpfs(inner, 8192, false, why)) return false;
         testing::FillFileSystem(inner);
         return true;
       },
       "No space left on device"},
      {"symlink",
       [&](std::string*) {
         std::ofstream(elsewhere) << "kept";
         fs::create_symlink(elsewhere, file);
         return true;
       },
       "a symbolic link is in the way"},
      {"directory", [&](std::string*) { return fs::create_directory(file); }, "Is a directory"},
      {"fifo", [&](std::string*) { return ::mkfifo(file.c_str(), 0644) == 0; },
       "not a regular file"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    userName = c.name;  // a file of its own: the record counts by file
    file = inner + "/" + c.name + "_SN1.txt";
    std::string why;
    if (!c.obstruct(&why)) {
      ADD_FAILURE() << "cannot set up: " << why;
      continue;
    }
    Cycle();
    Cycle();
    std::vector<WriteFailure> fresh = failures.TakeNew();
    ASSERT_EQ(fresh.size(), 1u);
    EXPECT_EQ(fresh[0].path, file);
    EXPECT_EQ(fresh[0].reason, c.reason);
    EXPECT_EQ(fresh[0].count, 2);
    EXPECT_EQ(WriteFailureMessage(fresh[0]), "Cannot write " + file + ": " + c.reason);
    EXPECT_TRUE(failures.TakeNew().empty());  // said once
    if (std::string(c.name) == "symlink") {
      EXPECT_EQ(ReadFile(elsewhere), "kept");
    }
    if (std::string(c.name) == "full file system") {
      EXPECT_FALSE(fs::exists(file) && fs::file_size(file) > 0);
    }
    testing::Unmount(inner);
    fs::remove_all(dir / "inner");
    fs::create_directories(dir / "inner");
  }
}

}  // namespace
}  // namespace pathmon
