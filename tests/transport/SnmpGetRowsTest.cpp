// SPDX-License-Identifier: Apache-2.0
// The row walk of one column, against the in-memory client.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/FakeSnmpClient.h"
#include "transport/SnmpAccess.h"

namespace pathmon {
namespace {

using ::testing::ElementsAre;
using testing::FakeSnmpClient;

constexpr const char* kAgent = "127.20.0.1";
constexpr const char* kCommunity = "orchid";
constexpr const char* kColumn = ".1.3.6.1.4.1.7431.2.69.1.3.4.1.1";

std::string Row(int i) { return std::string(kColumn) + "." + std::to_string(i) + ".0"; }

class SnmpGetRowsTest : public ::testing::Test {
 protected:
  void AddRows(int n, const std::string& base = "row ") {
    for (int i = 1; i <= n; ++i) {
      fake_.SetOctets(kAgent, kCommunity, Row(i), base + std::to_string(i));
    }
  }

  // Walks the column into a table of 256 entries and keeps the rows as strings.
  bool Walk(int32_t count, const char* community = kCommunity) {
    char* rows[256] = {};
    rowCount_ = -1;
    const bool result = SnmpGetRows(fake_, kAgent, community, kColumn, count, &rowCount_, rows);
    texts_.clear();
    for (int i = 0; i < 256; ++i) {
      if (i < rowCount_) {
        EXPECT_NE(rows[i], nullptr);
        texts_.emplace_back(rows[i]);
      } else {
        EXPECT_EQ(rows[i], nullptr) << "entry " << i << " written beyond the row count";
      }
      delete[] rows[i];
    }
    return result;
  }

  FakeSnmpClient fake_;
  int32_t rowCount_ = -1;
  std::vector<std::string> texts_;
};

TEST_F(SnmpGetRowsTest, TwelveRowsCostThirteenRequestsOneObjectEach) {
  AddRows(12);
  EXPECT_TRUE(Walk(75));
  EXPECT_EQ(rowCount_, 12);
  ASSERT_EQ(texts_.size(), 12u);
  EXPECT_EQ(texts_.front(), "row 1");
  EXPECT_EQ(texts_.back(), "row 12");

  const auto requests = fake_.Requests();
  ASSERT_EQ(requests.size(), 13u);
  for (int i = 0; i < 13; ++i) {
    EXPECT_EQ(requests[i].agent, kAgent);
    EXPECT_EQ(requests[i].community, kCommunity);
    EXPECT_THAT(requests[i].objects, ElementsAre(Row(i + 1)));
    // The row buffer is 5120 bytes and its last byte stays the terminator.
    EXPECT_EQ(requests[i].slotSize, kRowBufferSize - 1);
  }
}

TEST_F(SnmpGetRowsTest, ColumnLongerThanCountStopsAtCount) {
  AddRows(80);
  EXPECT_TRUE(Walk(75));
  EXPECT_EQ(rowCount_, 75);
  EXPECT_EQ(texts_.back(), "row 75");
  EXPECT_EQ(fake_.RequestCount(), 75);
  EXPECT_EQ(fake_.Requests().back().objects.front(), Row(75));
}

TEST_F(SnmpGetRowsTest, MissingFirstRowEndsTheWalkEvenIfLaterRowsExist) {
  fake_.SetOctets(kAgent, kCommunity, Row(2), "second");
  fake_.SetOctets(kAgent, kCommunity, Row(3), "third");
  EXPECT_FALSE(Walk(75));
  EXPECT_EQ(rowCount_, 0);
  EXPECT_EQ(fake_.RequestCount(), 1);
}

TEST_F(SnmpGetRowsTest, GapEndsTheWalkAndKeepsTheRowsBeforeIt) {
  AddRows(5);
  fake_.Remove(kAgent, kCommunity, Row(3));
  EXPECT_TRUE(Walk(75));
  EXPECT_THAT(texts_, ElementsAre("row 1", "row 2"));
  EXPECT_EQ(fake_.RequestCount(), 3);
}

TEST_F(SnmpGetRowsTest, FailureMidWayKeepsTheRowsReadBefore) {
  AddRows(10);
  fake_.FailAfter(4);
  EXPECT_TRUE(Walk(75));
  EXPECT_EQ(rowCount_, 4);
  EXPECT_EQ(fake_.RequestCount(), 5);
}

TEST_F(SnmpGetRowsTest, SilentAgentOrWrongCommunityGivesNoRows) {
  AddRows(3);
  EXPECT_FALSE(Walk(75, "wrong"));
  EXPECT_EQ(rowCount_, 0);
  EXPECT_EQ(fake_.RequestCount(), 1);
}

TEST_F(SnmpGetRowsTest, RowTextRules) {
  fake_.SetOctets(kAgent, kCommunity, Row(1), "");                             // empty
  fake_.SetOctets(kAgent, kCommunity, Row(2), std::string("ab\0cd", 5));       // zero inside
  fake_.SetOctets(kAgent, kCommunity, Row(3), "x\r\ny\\z\t\xe9");              // kept as is
  fake_.SetOctets(kAgent, kCommunity, Row(4), std::string(6000, 'L'));         // too long
  fake_.SetOctets(kAgent, kCommunity, Row(5), std::string(5119, 'M'));         // just fits
  EXPECT_TRUE(Walk(75));
  ASSERT_EQ(rowCount_, 5);
  EXPECT_EQ(texts_[0], "");
  EXPECT_EQ(texts_[1], "ab");
  EXPECT_EQ(texts_[2], "x\r\ny\\z\t\xe9");
  EXPECT_EQ(texts_[3], std::string(5119, 'L'));
  EXPECT_EQ(texts_[4], std::string(5119, 'M'));
  EXPECT_EQ(fake_.RequestCount(), 6);
}

TEST_F(SnmpGetRowsTest, CountBelowOneAsksNothing) {
  AddRows(3);
  EXPECT_FALSE(Walk(0));
  EXPECT_EQ(rowCount_, 0);
  EXPECT_FALSE(Walk(-5));
  EXPECT_EQ(rowCount_, 0);
  EXPECT_EQ(fake_.RequestCount(), 0);
}

TEST_F(SnmpGetRowsTest, IdentifierThatDoesNotFitItsBufferIsNotAskedFor) {
  // 260 characters of prefix plus ".1.0" exceed the 256-byte identifier buffer: asking for a
  // cut identifier would read some other object.
  std::string longPrefix;
  while (longPrefix.size() < 260) longPrefix += ".1";
  char* rows[4] = {};
  int32_t count = -1;
  EXPECT_FALSE(SnmpGetRows(fake_, kAgent, kCommunity, longPrefix.c_str(), 3, &count, rows));
  EXPECT_EQ(count, 0);
  EXPECT_EQ(fake_.RequestCount(), 0);
}

}  // namespace
}  // namespace pathmon
