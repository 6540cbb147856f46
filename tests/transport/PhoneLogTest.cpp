// SPDX-License-Identifier: Apache-2.0
// The phone log file: both columns read, numbered lines written, the opener called last.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "support/FakeSnmpClient.h"
#include "support/LogRows.h"
#include "support/RecordingOpener.h"
#include "support/TempDir.h"
#include "transport/FileWrite.h"
#include "transport/PhoneLog.h"
#include "transport/SnmpAccess.h"

namespace pathmon {
namespace {

using ::testing::ElementsAre;
using testing::FakeSnmpClient;
using testing::kFirstLogColumn;
using testing::kSecondLogColumn;
using testing::ReadFile;
using testing::RecordingOpener;
using testing::RowOid;
using testing::TempDir;

constexpr const char* kAgent = "127.20.0.2";
constexpr const char* kCommunity = "orchid";

// The file is complete (closed) before the viewer is started: the opener records what it
// held when it was opened.
class PhoneLogTest : public ::testing::Test {
 protected:
  void SetRow(const char* column, int i, const std::string& text) {
    fake_.SetOctets(kAgent, kCommunity, RowOid(column, i), text);
  }
  void AddRows(const char* column, int n, const std::string& base) {
    for (int i = 1; i <= n; ++i) SetRow(column, i, base + std::to_string(i));
  }
  bool Get(const std::string& file) {
    return GetPhoneLog(fake_, kAgent, kCommunity, file.c_str(), opener_, failures_);
  }

  FakeSnmpClient fake_;
  RecordingOpener opener_;
  WriteFailures failures_;
  TempDir temp_{"phonelog"};
  const std::string dir_ = temp_.Path();
  const std::string file_ = temp_.File("alice_SN0001_log.txt");
};

TEST_F(PhoneLogTest, NumberingRunsOnAcrossBothTables) {
  AddRows(kFirstLogColumn, 3, "first ");
  AddRows(kSecondLogColumn, 2, "second ");
  EXPECT_TRUE(Get(file_));
  const std::string expected =
      "001 first 1\r\n002 first 2\r\n003 first 3\r\n004 second 1\r\n005 second 2\r\n";
  EXPECT_EQ(ReadFile(file_), expected);
  ASSERT_THAT(opener_.paths, ElementsAre(file_));
  EXPECT_EQ(opener_.contents.front(), expected);
  // Each column ends at its first missing row: 4 + 3 requests.
  EXPECT_EQ(fake_.RequestCount(), 7);
}

TEST_F(PhoneLogTest, AtMostSeventyFiveRowsPerTableAndHundredFiftyLines) {
  AddRows(kFirstLogColumn, 80, "a");
  AddRows(kSecondLogColumn, 90, "b");
  EXPECT_TRUE(Get(file_));
  std::string expected;
  char line[32];
  for (int i = 1; i <= 150; ++i) {
    std::snprintf(line, sizeof line, "%03d %c%d\r\n", i, i <= 75 ? 'a' : 'b', (i - 1) % 75 + 1);
    expected += line;
  }
  EXPECT_EQ(ReadFile(file_), expected);
  // Rows beyond 75 never reach the file; one request per column tells that there are more,
  // which the user hears beside the file.
  EXPECT_EQ(fake_.RequestCount(), 152);
  EXPECT_THAT(opener_.notes,
              ElementsAre(file_ + ": the first column has more than 75 rows; only the first 75 "
                                  "are kept",
                          file_ + ": the second column has more than 75 rows; only the first "
                                  "75 are kept"));
}

TEST_F(PhoneLogTest, RowTextsAreWrittenOnOneLineByteForByte) {
  SetRow(kFirstLogColumn, 1, "A\r\nB");
  SetRow(kFirstLogColumn, 2, "");
  SetRow(kFirstLogColumn, 3, "\n\rlead and trail\r");
  SetRow(kFirstLogColumn, 4, "C:\\logs\t%s %d \xe9\xff");
  SetRow(kFirstLogColumn, 5, std::string("cut\0here", 8));
  // A row of another type is no text: it counts as missing, and ends the column.
  fake_.SetInteger(kAgent, kCommunity, RowOid(kFirstLogColumn, 6), 0x41424344);
  SetRow(kFirstLogColumn, 7, "after the number");
  EXPECT_TRUE(Get(file_));
  EXPECT_EQ(ReadFile(file_),
            "001 A  B\r\n"
            "002 \r\n"
            "003   lead and trail \r\n"
            "004 C:\\logs\t%s %d \xe9\xff\r\n"
            "005 cut\r\n");
  EXPECT_THAT(opener_.notes,
              ElementsAre(file_ + ": row 5 of the first column holds a zero byte; it is kept "
                                  "up to it"));
}

TEST_F(PhoneLogTest, OnlyTheSecondTableStillNumbersFromOne) {
  AddRows(kSecondLogColumn, 2, "s");
  EXPECT_TRUE(Get(file_));
  EXPECT_EQ(ReadFile(file_), "001 s1\r\n002 s2\r\n");
  EXPECT_EQ(opener_.paths.size(), 1u);
}

TEST_F(PhoneLogTest, ExistingFileIsReplaced) {
  std::ofstream(file_, std::ios::binary) << std::string(4000, 'x') << "\r\nold line\r\n";
  AddRows(kFirstLogColumn, 1, "new ");
  EXPECT_TRUE(Get(file_));
  EXPECT_EQ(ReadFile(file_), "001 new 1\r\n");
}

TEST_F(PhoneLogTest, NeitherTableAnsweringTouchesNoFile) {
  const std::string previous = "001 earlier log\r\n";
  std::ofstream(file_, std::ios::binary) << previous;
  const auto written = std::filesystem::last_write_time(file_);

  fake_.SetFailing(true);
  EXPECT_FALSE(Get(file_));
  const std::string missing = dir_ + "/never_created_log.txt";
  EXPECT_FALSE(Get(missing));

  EXPECT_EQ(ReadFile(file_), previous);
  EXPECT_EQ(std::filesystem::last_write_time(file_), written);
  EXPECT_FALSE(std::filesystem::exists(missing));
  EXPECT_TRUE(opener_.paths.empty());
  // Both columns were tried, one request each.
  EXPECT_EQ(fake_.RequestCount(), 4);
}

// The phone gave its log, so the result stays true; the file's failure is reported with
// its name, nothing is opened, and nothing is written through a symlink or into a FIFO.
TEST_F(PhoneLogTest, AFileThatCannotBeWrittenIsReportedAndNothingIsOpened) {
  AddRows(kFirstLogColumn, 2, "r");
  const std::string elsewhere = dir_ + "/elsewhere.txt";
  struct Case {
    const char* name;
    std::string path;
    const char* reason;
  };
  const std::vector<Case> cases = {
      {"missing folder", dir_ + "/no/such/dir/log.txt", "No such file or directory"},
      {"symlink", dir_ + "/link_log.txt", "a symbolic link is in the way"},
      {"fifo", dir_ + "/fifo_log.txt", "not a regular file"},
  };
  { std::ofstream(elsewhere) << "kept"; }
  std::filesystem::create_symlink(elsewhere, cases[1].path);
  ASSERT_EQ(::mkfifo(cases[2].path.c_str(), 0644), 0);
  failures_.TakeNew();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_TRUE(Get(c.path));
    std::vector<WriteFailure> failures = failures_.TakeNew();
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_EQ(failures[0].path, c.path);
    EXPECT_EQ(failures[0].reason, c.reason);
  }
  EXPECT_TRUE(opener_.paths.empty());
  EXPECT_EQ(ReadFile(elsewhere), "kept");
}

TEST_F(PhoneLogTest, AnInterruptionBetweenRowsEndsTheRetrievalWithoutAFile) {
  AddRows(kFirstLogColumn, 40, "r");
  opener_.rowsBeforeInterrupt = 10;
  EXPECT_FALSE(Get(file_));
  EXPECT_EQ(fake_.RequestCount(), 10);
  EXPECT_FALSE(std::filesystem::exists(file_));
  EXPECT_TRUE(opener_.paths.empty());
}

// A stand-in for xdg-open on PATH records its arguments and then lingers, so the test sees
// both what the real opener is given and that the caller does not wait for the viewer.
class XdgOpenerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string script = dir_ + "/xdg-open";
    {
      std::ofstream out(script);
      out << "#!/bin/sh\n"
          << "echo \"stderr noise\" >&2\n"
          << "echo \"stdout noise\"\n"
          << "printf '%s|' \"$#\" \"$@\" > '" << record_ << ".tmp'\n"
          << "mv '" << record_ << ".tmp' '" << record_ << "'\n"
          << "sleep 5\n";
    }
    ASSERT_EQ(chmod(script.c_str(), 0755), 0);
    const char* path = std::getenv("PATH");
    oldPath_ = path != nullptr ? path : "";
    setenv("PATH", (dir_ + ":" + oldPath_).c_str(), 1);
  }
  void TearDown() override { setenv("PATH", oldPath_.c_str(), 1); }

  // The stand-in runs detached: poll for its record, bounded.
  std::string WaitForRecord() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
      if (std::filesystem::exists(record_)) return ReadFile(record_);
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return "";
  }

  TempDir temp_{"xdg"};
  const std::string dir_ = temp_.Path();
  const std::string record_ = temp_.File("args");
  std::string oldPath_;
};

// A user name from a phone may start with "-" and hold spaces or shell characters.
TEST_F(XdgOpenerTest, RunsDetachedWithTheAbsolutePathAsItsOnlyArgument) {
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  const std::string hostile = "-rf $(touch pwned) x_SN1_log.txt";
  const std::string absolute = dir_ + "/bob_SN2_log.txt";
  for (const auto& [name, path] :
       {std::pair{hostile, std::string(cwd) + "/" + hostile}, std::pair{absolute, absolute}}) {
    SCOPED_TRACE(name);
    std::filesystem::remove(record_);
    const auto start = std::chrono::steady_clock::now();
    XdgFileOpener().Open(name);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3))
        << "the opener waited for the viewer";
    EXPECT_EQ(WaitForRecord(), "1|" + path + "|");
  }
  EXPECT_FALSE(std::filesystem::exists(std::string(cwd) + "/pwned"));
}

}  // namespace
}  // namespace pathmon
