// SPDX-License-Identifier: Apache-2.0
// The main window's list as text.

#include <gtest/gtest.h>

#include <sstream>

#include "TextSplit.h"
#include "cli/ResultTable.h"

namespace pathmon::cli {
namespace {

using testing::Lines;
using testing::Words;

TEST(ResultTable, TheTwelveColumnsThenTheVoiceFiguresInOrder) {
  TestSnapshot running;
  running.running = true;
  // lastRtt: "%d", a sign and no padding.
  running.stats = {.lastRtt = -5, .avgRtt = 42, .lost = 10, .delayed = 3, .maxRtt = 401,
                   .maxBurstLost = 7, .received = 1490, .sent = 1500, .interruptions = 1};
  TestSnapshot stopped;
  VoiceQuality voice;
  voice.loss.sent = 1500;
  voice.jitterUs = 1234.5;   // ms with 2 decimals
  voice.rtt.p95Us = 45'678;  // ms with 1 decimal
  voice.score.mos = 4.39876;
  voice.worstWindowMos = 1.0;

  std::string table = RenderTable(
      {MakeRow("alice", "SN1", running, voice), MakeRow("bob", "SN2", stopped, {})});
  std::vector<std::string> lines = Lines(table);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0],
            "USER   SN   PATHMON  SENT  RCVD  LOST  INTERRUPTIONS  AVG RTT  MAXBURSTLOST  "
            "DELAYED  RTT  MAX RTT  JITTER  P95 RTT  MOS   WORST");
  EXPECT_EQ(Words(lines[1]),
            (std::vector<std::string>{"alice", "SN1", "Running", "1500", "1490", "10", "1", "42",
                                      "7", "3", "-5", "401", "1.23", "45.7", "4.40", "1.00"}));
  // A cycle without a frame has no voice figures to show.
  EXPECT_EQ(Words(lines[2]), (std::vector<std::string>{"bob", "SN2", "Stopped", "0", "0", "0",
                                                       "0", "0", "0", "0", "0", "0", "-", "-",
                                                       "-", "-"}));
  // Columns line up: each figure starts under its header.
  EXPECT_EQ(lines[1].find("1490"), lines[0].find("RCVD"));
  EXPECT_EQ(lines[2].find("Stopped"), lines[0].find("PATHMON"));
  EXPECT_EQ(table.back(), '\n');
}

TEST(ResultTable, WideTextsWidenTheirColumn) {
  std::string table = RenderTable({MakeRow("a-rather-long-user-name", "SN1", {}, {})});
  std::vector<std::string> lines = Lines(table);
  EXPECT_EQ(lines[0].find("SN"), lines[1].find("SN1"));
  EXPECT_EQ(lines[0].find("SN"), std::string("a-rather-long-user-name").size() + 2);
}

TEST(ResultTable, NoRowsStillShowsTheHeaders) {
  EXPECT_EQ(Lines(RenderTable({})).size(), 1u);
}

TEST(ResultTable, TextsFromThePhoneCannotDriveTheTerminal) {
  RowTexts row = MakeRow("evil\x1b[2J\r\nname\x7f", "SN\t1", {}, {});
  EXPECT_EQ(row[0], "evil?[2J??name?");
  EXPECT_EQ(row[1], "SN?1");
  EXPECT_EQ(PrintableText("Jos\xc3\xa9"), "Jos\xc3\xa9");  // UTF-8 is left alone
  // The one-character CSI (U+009B), as UTF-8 and as a byte of text that is not UTF-8.
  EXPECT_EQ(PrintableText("a\xc2\x9b" "2J"), "a?2J");
  EXPECT_EQ(PrintableText("a\x9b" "2J\xe9"), "a?2J\xe9");
  EXPECT_EQ(Lines(RenderTable({row})).size(), 2u);
}

}  // namespace
}  // namespace pathmon::cli
