// SPDX-License-Identifier: Apache-2.0
// The table on a terminal: fitted to its width without breaking a line, coloured by the
// bands without moving a column.

#include <gtest/gtest.h>

#include <regex>
#include <sstream>
#include <string>

#include "cli/TableView.h"
#include "frontend/Figures.h"

namespace pathmon::cli {
namespace {

TEST(TableView, FitsTheWidthAndColoursWithoutShiftingColumns) {
  const TestStatistics clean{.received = 3000, .sent = 3000};
  VoiceQuality good;
  good.loss.sent = 3000;
  good.worstWindowMos = 4.4;
  VoiceQuality bad = good;
  bad.worstWindowMos = 2.9;
  const TestStatistics late{.avgRtt = 200, .received = 3000, .sent = 3000};

  const std::vector<RowTexts> rows = {MakeRow("alice", "SN1", {true, clean}, good),
                                      MakeRow("bob", "SN2", {true, late}, bad)};
  const std::string full = RenderFittedTable(rows, {}, {});
  for (std::size_t width : {std::size_t{0}, std::size_t{200}, std::size_t{100}, std::size_t{60},
                            std::size_t{10}}) {
    SCOPED_TRACE(width);
    const std::string plain = RenderFittedTable(rows, {}, {width, false});
    const std::string coloured =
        RenderFittedTable(rows, {Band::kGreen, Band::kRed}, {width, true});
    // Without the escapes, the coloured table is the plain one.
    EXPECT_EQ(std::regex_replace(coloured, std::regex("\x1b\\[[0-9]*m"), ""), plain);
    EXPECT_NE(coloured.find("\x1b[31m"), std::string::npos);
    EXPECT_EQ(coloured.find("\x1b[33m"), std::string::npos);  // a green row stays as it is
    const bool cut = width > 0 && width < full.find('\n');
    EXPECT_EQ(plain.find("columns left out") != std::string::npos, cut);
    EXPECT_EQ(plain.rfind(kListColumns[0].header, 0), 0u);
    // The three first columns stay, however narrow; otherwise every line of the table fits.
    std::istringstream lines(plain);
    for (std::string line;
         std::getline(lines, line) && line.find("left out") == std::string::npos;) {
      if (width >= 40) {
        EXPECT_LE(line.size(), width);
      }
    }
  }
}

// A narrow terminal leaves out first the figures kept for the shortest time: the score, the
// worst window and the frames lost stay longest; the legend gives the units of those shown.
TEST(TableView, ANarrowTerminalKeepsTheScoreAndTheLossLongestAndSaysTheirUnits) {
  const TestStatistics stats{.maxRtt = 15000, .received = 15000, .sent = 15000};
  VoiceQuality voice;
  voice.loss.sent = 15000;
  voice.jitterUs = 138'090;
  const std::vector<RowTexts> rows = {
      MakeRow("SITE06\\fatima", "FL6000006", {true, stats}, voice)};
  const std::pair<std::size_t, std::string> cases[] = {
      {0, "1.00\nframes: SENT, RCVD, LOST, MAXBURSTLOST, DELAYED; ms: AVG RTT, RTT, MAX RTT, "
          "JITTER, P95 RTT; score 1-5: MOS, WORST\n"},
      {100, "DELAYED RTT MAX RTT)\nframes: SENT, LOST; ms: AVG RTT, JITTER, P95 RTT; "
            "score 1-5: MOS, WORST\n"},
      {60, "(10 columns left out for the terminal's width: SENT RCVD INTERRUPTIONS AVG RTT "
           "MAXBURSTLOST DELAYED RTT MAX RTT JITTER P95 RTT)\nframes: LOST; score 1-5: MOS, "
           "WORST\n"}};
  for (const auto& [width, end] : cases) {
    const std::string table = RenderFittedTable(rows, {}, {width, false});
    EXPECT_TRUE(table.ends_with(end)) << table;
  }
}

}  // namespace
}  // namespace pathmon::cli
