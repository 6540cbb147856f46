// SPDX-License-Identifier: Apache-2.0
// What the main window and a phone's window show, without a window: copied rows, the live
// chart's buckets, windows and bands, and the history over days.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <sstream>

#include "frontend/HistorySeries.h"
#include "frontend/PhoneTable.h"
#include "frontend/VoiceChart.h"

namespace pathmon {
namespace {

TEST(PhoneTable, CopiedRowsAreTabSeparatedWithTheHeadersAndNoStrayBreaks) {
  PhoneTable table;
  table.Insert(0, "SITE\t01\\anna", nullptr);
  table.Insert(1, "bruno", nullptr);
  table.SetText(0, 1, "SN\r\n1");
  std::string text = table.TabSeparated({1, 0, 7});
  std::istringstream lines(text);
  std::string line;
  std::vector<std::string> got;
  while (std::getline(lines, line)) got.push_back(line);
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0].substr(0, 17), "USER\tSN\tPATHMON\tS");
  EXPECT_EQ(std::count(got[0].begin(), got[0].end(), '\t'), kTableColumnCount - 1);
  EXPECT_EQ(got[1].substr(0, 6), "bruno\t");
  EXPECT_EQ(got[2].substr(0, 21), "SITE 01\\anna\tSN  1\t\t\t");
  EXPECT_EQ(std::count(got[2].begin(), got[2].end(), '\t'), kTableColumnCount - 1);
}

// Frames every 20 ms from a start of 1 s: frame i's echo takes (i % 50) + 1 ms; frames
// 100-149 (all of second 2) and 175 are lost.
CycleTimings Cycle(int frames) {
  CycleTimings t;
  t.startNs = 1'000'000'000;
  t.startWallNs = 1'765'000'000'000'000'000;
  t.firstSequence = 1000;
  for (int i = 0; i < frames; ++i) {
    FrameTiming f;
    f.sendNs = t.startNs + i * t.intervalNs + 300'000;  // a little late, still in its second
    if (!((i >= 100 && i < 150) || i == 175)) f.arrivalNs = f.sendNs + ((i % 50) + 1) * 1'000'000;
    t.frames.push_back(f);
  }
  return t;
}

TEST(LiveChart, EchoesAreBucketedIntoSecondsAndWindowsAndSpansPlacedBySequence) {
  CycleTimings t = Cycle(1200);  // 24 seconds
  VoiceQuality voice;
  WindowQuality w1, w2, w3;
  w1.firstSequence = 1000, w1.frames = 500, w1.score.mos = 4.3;
  w2.firstSequence = 1500, w2.frames = 500, w2.score.mos = 2.0;
  w3.firstSequence = 2000, w3.frames = 200, w3.score.mos = 3.6;
  voice.windows = {w1, w2, w3};
  voice.interruptions = {{t.startWallNs + 2'000'000'000, 1100, 50, 1}};
  LiveChart chart = BucketCycle(t, voice);

  ASSERT_EQ(chart.seconds.size(), 24u);
  const SecondBucket& first = chart.seconds[0];
  EXPECT_EQ(first.frames, 50);
  EXPECT_EQ(first.echoes, 50);
  EXPECT_DOUBLE_EQ(first.p50Ms, 25);  // rank 25 of 1..50 ms
  EXPECT_DOUBLE_EQ(first.p95Ms, 48);  // rank ceil(47.5) = 48
  EXPECT_EQ(chart.seconds[2].lost, 50);
  EXPECT_EQ(chart.seconds[2].echoes, 0);
  EXPECT_DOUBLE_EQ(chart.seconds[2].p95Ms, 0);
  EXPECT_EQ(chart.seconds[3].lost, 1);
  EXPECT_EQ(chart.seconds[3].echoes, 49);

  ASSERT_EQ(chart.windows.size(), 3u);
  EXPECT_DOUBLE_EQ(chart.windows[1].span.fromSeconds, 10);
  EXPECT_DOUBLE_EQ(chart.windows[1].span.toSeconds, 20);
  EXPECT_TRUE(chart.windows[1].poor);
  EXPECT_FALSE(chart.windows[2].poor);  // 3.6 is not below the bound
  EXPECT_DOUBLE_EQ(chart.windows[2].span.toSeconds, 24);
  ASSERT_EQ(chart.interruptions.size(), 1u);
  EXPECT_DOUBLE_EQ(chart.interruptions[0].span.fromSeconds, 2);
  EXPECT_DOUBLE_EQ(chart.interruptions[0].span.toSeconds, 3);

  // An ended test keeps its figures, not its frames: one bucket per window, with the window's
  // own figures, and the windows and spans where they were.
  w2.loss.lost = 50, w2.p50Us = 31'000, w2.p95Us = 44'000;
  voice.windows = {w1, w2, w3};
  LiveChart ended = ChartCycle(CycleTimings{}, voice);
  EXPECT_DOUBLE_EQ(ended.bucketSeconds, 10);
  ASSERT_EQ(ended.seconds.size(), 3u);
  EXPECT_EQ(ended.seconds[1].lost, 50);
  EXPECT_EQ(ended.seconds[1].echoes, 450);
  EXPECT_DOUBLE_EQ(ended.seconds[1].p95Ms, 44);
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_DOUBLE_EQ(ended.windows[i].span.toSeconds, chart.windows[i].span.toSeconds) << i;
  }
  ASSERT_EQ(ended.interruptions.size(), 1u);
  EXPECT_DOUBLE_EQ(ended.interruptions[0].span.fromSeconds, 2);
  EXPECT_DOUBLE_EQ(ended.interruptions[0].span.toSeconds, 3);
}

// The history file's stamps are local time: read here in UTC.
class History : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char* tz = std::getenv("TZ")) saved_ = tz;
    setenv("TZ", "UTC", 1);
    tzset();
  }
  void TearDown() override {
    if (saved_) {
      setenv("TZ", saved_->c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }
  std::optional<std::string> saved_;
};

TEST_F(History, VoiceHistoryAndTheHistoryFileBothChartAndCutLinesAreSkipped) {
  std::istringstream voice(
      R"({"time":"2026-12-08T18:02:05+00:00","epochSeconds":1796752925,"sent":15000,"received":14850,"lost":150,"interruptions":1,"avgRtt":40,"voice":{"rttMeanUs":40250,"rttP95Us":43100,"lossPercent":1.0,"worstWindowMos":1.0}})"
      "\n"
      R"({"time":"2026-12-08T18:07:05+00:00","epochSeconds":1796753225,"sent":15000,"rec)"
      "\n"
      R"({"epochSeconds":1796753525,"sent":0,"lost":0,"avgRtt":0,"interruptions":0})"
      "\n");
  HistorySeries v = ReadVoiceHistory(voice);
  ASSERT_EQ(v.points.size(), 2u);
  EXPECT_EQ(v.skippedLines, 1);
  EXPECT_DOUBLE_EQ(v.points[0].meanRttMs, 40.25);
  EXPECT_DOUBLE_EQ(*v.points[0].p95RttMs, 43.1);
  EXPECT_DOUBLE_EQ(v.points[0].lossPercent, 1.0);
  EXPECT_DOUBLE_EQ(*v.points[0].worstMos, 1.0);
  EXPECT_FALSE(v.points[1].worstMos.has_value());  // a cycle without voice figures
  EXPECT_DOUBLE_EQ(v.points[1].lossPercent, 0);    // nothing sent: no division by zero

  std::istringstream plain(
      "12:08:2026 18:02:05 <PATHMON>INTERRUPTIONS:    2 MAXBURSTLOST:    7 SEND: 15000 LOST:   "
      "150 DELAYED:    0 AVGRTT:   41 MAXRTT:  180\r\n"
      "12:08:2026 18:07:05 <PATHMON>INTERRUPTIONS:    0 MAXBURST\r\n");
  HistorySeries h = ReadHistoryFile(plain);
  ASSERT_EQ(h.points.size(), 1u);
  EXPECT_EQ(h.skippedLines, 1);
  EXPECT_EQ(h.points[0].epochSeconds, 1796752925);
  EXPECT_EQ(h.points[0].interruptions, 2);
  EXPECT_DOUBLE_EQ(h.points[0].lossPercent, 1.0);

  std::string csv = HistoryCsv(h);
  EXPECT_EQ(csv,
            "time,epochSeconds,meanRttMs,p95RttMs,lossPercent,interruptions,worstMos\n"
            "2026-12-08T18:02:05+00:00,1796752925,41.000,,1.000,2,\n");
}

}  // namespace
}  // namespace pathmon
