// SPDX-License-Identifier: Apache-2.0
// The row walk of one column, against the in-memory client.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/FakeSnmpClient.h"
#include "support/LogRows.h"
#include "transport/SnmpAccess.h"

namespace pathmon {
namespace {

using ::testing::ElementsAre;
using testing::FakeSnmpClient;

constexpr const char* kAgent = "127.20.0.1";
constexpr const char* kCommunity = "orchid";
constexpr const char* kColumn = testing::kFirstLogColumn;

std::string Row(int i) { return testing::RowOid(kColumn, i); }

void AddRows(FakeSnmpClient& fake, int n) {
  for (int i = 1; i <= n; ++i) {
    fake.SetOctets(kAgent, kCommunity, Row(i), "row " + std::to_string(i));
  }
}

struct Walked {
  bool result = false;
  int32_t count = -1;
  std::vector<std::string> texts;
};

// Walks the column into a table of 256 entries and keeps the rows as strings.
Walked Walk(FakeSnmpClient& fake, int32_t count, const char* community = kCommunity) {
  char* rows[256] = {};
  Walked w;
  w.result = SnmpGetRows(fake, kAgent, community, kColumn, count, &w.count, rows);
  for (int i = 0; i < 256; ++i) {
    if (i < w.count) {
      EXPECT_NE(rows[i], nullptr);
      w.texts.emplace_back(rows[i]);
    } else {
      EXPECT_EQ(rows[i], nullptr) << "entry " << i << " written beyond the row count";
    }
    delete[] rows[i];
  }
  return w;
}

// The walk asks for rows 1, 2, ... one object each, and ends at the count, at the first
// missing row or at the first failed request, keeping the rows read before it.
TEST(SnmpGetRows, WhereTheWalkEndsAndWhatItAskedOnTheWay) {
  struct Case {
    const char* name;
    int rows;       // rows 1..rows in the column
    int missing;    // one of them removed, or 0
    int failAfter;  // requests answered before every one fails, or -1
    int32_t count;  // rows asked for
    const char* community;
    bool result;
    int32_t read;  // rows read: "row 1" .. "row <read>"
    int requests;
  };
  const std::vector<Case> cases = {
      {"the end of the column", 12, 0, -1, 75, kCommunity, true, 12, 13},
      {"the count", 80, 0, -1, 75, kCommunity, true, 75, 75},
      {"a missing first row, later rows there", 3, 1, -1, 75, kCommunity, false, 0, 1},
      {"a gap", 5, 3, -1, 75, kCommunity, true, 2, 3},
      {"a failure midway", 10, 0, 4, 75, kCommunity, true, 4, 5},
      {"a wrong community", 3, 0, -1, 75, "wrong", false, 0, 1},
      {"a count of 0", 3, 0, -1, 0, kCommunity, false, 0, 0},
      {"a negative count", 3, 0, -1, -5, kCommunity, false, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeSnmpClient fake;
    AddRows(fake, c.rows);
    if (c.missing > 0) fake.Remove(kAgent, kCommunity, Row(c.missing));
    fake.FailAfter(c.failAfter);
    const Walked w = Walk(fake, c.count, c.community);
    EXPECT_EQ(w.result, c.result);
    EXPECT_EQ(w.count, c.read);
    std::vector<std::string> expected;
    for (int i = 1; i <= c.read; ++i) expected.push_back("row " + std::to_string(i));
    EXPECT_EQ(w.texts, expected);
    const auto requests = fake.Requests();
    ASSERT_EQ(requests.size(), static_cast<std::size_t>(c.requests));
    for (int i = 0; i < c.requests; ++i) {
      EXPECT_EQ(requests[i].agent, kAgent);
      EXPECT_EQ(requests[i].community, c.community);
      EXPECT_THAT(requests[i].objects, ElementsAre(Row(i + 1)));
      // The row buffer is 5120 bytes and its last byte stays the terminator.
      EXPECT_EQ(requests[i].slotSize, kRowBufferSize - 1);
    }
  }
}

TEST(SnmpGetRows, RowTextRules) {
  FakeSnmpClient fake;
  fake.SetOctets(kAgent, kCommunity, Row(1), "");                        // empty
  fake.SetOctets(kAgent, kCommunity, Row(2), std::string("ab\0cd", 5));  // zero inside
  fake.SetOctets(kAgent, kCommunity, Row(3), "x\r\ny\\z\t\xe9");         // kept as is
  fake.SetOctets(kAgent, kCommunity, Row(4), std::string(6000, 'L'));    // too long
  fake.SetOctets(kAgent, kCommunity, Row(5), std::string(5119, 'M'));    // just fits
  const Walked w = Walk(fake, 75);
  EXPECT_TRUE(w.result);
  EXPECT_EQ(w.texts, (std::vector<std::string>{"", "ab", "x\r\ny\\z\t\xe9", std::string(5119, 'L'),
                                               std::string(5119, 'M')}));
  EXPECT_EQ(fake.RequestCount(), 6);
}

TEST(SnmpGetRows, IdentifierThatDoesNotFitItsBufferIsNotAskedFor) {
  FakeSnmpClient fake;
  // 260 characters of prefix plus ".1.0" exceed the 256-byte identifier buffer: asking for a
  // cut identifier would read some other object.
  std::string longPrefix;
  while (longPrefix.size() < 260) longPrefix += ".1";
  char* rows[4] = {};
  int32_t count = -1;
  EXPECT_FALSE(SnmpGetRows(fake, kAgent, kCommunity, longPrefix.c_str(), 3, &count, rows));
  EXPECT_EQ(count, 0);
  EXPECT_EQ(fake.RequestCount(), 0);
}

}  // namespace
}  // namespace pathmon
