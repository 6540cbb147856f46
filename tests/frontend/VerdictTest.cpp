// SPDX-License-Identifier: Apache-2.0
// The one verdict every view renders: how far a test got, its cycles, why it ended and
// --min-mos, to its outcome, band, word and summary line.

#include <gtest/gtest.h>

#include <vector>

#include "frontend/Verdict.h"

namespace pathmon {
namespace {

struct Cycle {
  int32_t avgRtt = 20, interruptions = 0, sent = 3000, received = 3000;
  int32_t scored = 2900;  // frames the voice figures cover; 0: none scored yet
  double worst = 4.3;
  bool hostLimited = false;
};

CycleRecord Record(const Cycle& c) {
  CycleRecord r;
  r.stats.avgRtt = c.avgRtt;
  r.stats.interruptions = c.interruptions;
  r.stats.sent = c.sent;
  r.stats.received = c.received;
  r.voice.loss.sent = c.scored;
  r.voice.worstWindowMos = c.worst;
  r.voice.sender.hostLimited = c.hostLimited;
  return r;
}

TEST(Verdict, EveryRuleGivesItsOutcomeBandAndWords) {
  using S = TestStage;
  using E = TestEnd;
  const Cycle good, none{0, 0, 0, 0, 0, 1.0};
  const struct {
    TestStage stage;
    std::vector<Cycle> cycles;
    TestEnd end;
    double minMos;
    Outcome outcome;
    Band band;
    const char* word;
    const char* summary;
  } cases[] = {
      {S::kNotTested, {}, E::kNone, 0, Outcome::kNotTested, Band::kNone, "", "not tested"},
      {S::kStartFailed, {}, E::kNone, 0, Outcome::kStartFailed, Band::kNone, "",
       "not tested: the phone did not answer the start of the test"},
      {S::kRunning, {none}, E::kNone, 0, Outcome::kUsable, Band::kNone, "", "usable"},
      {S::kRunning, {{20, 0, 5, 5, 0, 1.0}}, E::kNone, 0, Outcome::kUsable, Band::kGreen, "",
       "usable"},  // nothing scored yet: its worst window says nothing
      {S::kRunning, {{150, 10}}, E::kNone, 0, Outcome::kUsable, Band::kGreen, "", "usable"},
      {S::kRunning, {{151}}, E::kNone, 0, Outcome::kUnusable, Band::kRed, "unusable",
       "not usable: average round trip 151 ms, over 150 ms"},
      {S::kRunning, {{20, 11}}, E::kNone, 0, Outcome::kUnusable, Band::kRed, "unusable",
       "not usable: 11 interruptions, over 10"},
      {S::kRunning, {{0, 0, 1, 0, 0}}, E::kNone, 0, Outcome::kUnusable, Band::kRed, "unusable",
       "not usable: no echo came back"},
      {S::kEnded, {{20, 1, 3000, 2850, 2900, 3.09}}, E::kDuration, 0, Outcome::kUsable,
       Band::kAmber, "bad window", "usable, but a 10-second window scored 3.09 (bad)"},
      {S::kEnded, {{20, 1, 3000, 2850, 2900, 3.1}}, E::kDuration, 0, Outcome::kUsable,
       Band::kAmber, "poor window", "usable, but a 10-second window scored 3.10 (poor)"},
      {S::kEnded, {{20, 1, 3000, 2850, 2900, 3.6}}, E::kDuration, 0, Outcome::kUsable,
       Band::kGreen, "", "usable"},
      {S::kEnded, {{20, 0, 3000, 3000, 2900, 4.3, true}}, E::kDuration, 0, Outcome::kUsable,
       Band::kAmber, "host-limited",
       "usable, but the testing computer fell behind its schedule (host-limited)"},
      {S::kEnded, {good, {20, 0, 3000, 3000, 2900, 1.0, true}}, E::kDuration, 0,
       Outcome::kUsable, Band::kAmber, "bad window",
       "usable, but a 10-second window scored 1.00 (bad); the testing computer fell behind its "
       "schedule (host-limited)"},
      {S::kEnded, {good, {20, 3, 3000, 2900, 2900, 3.5}}, E::kDuration, 3.6, Outcome::kUnusable,
       Band::kRed, "unusable",
       "not usable: worst 10-second MOS 3.50, below 3.60 (1 of 2 cycles not usable)"},
      {S::kEnded, {{20, 0, 3000, 3000, 2900, 3.6}}, E::kDuration, 3.6, Outcome::kUsable,
       Band::kGreen, "", "usable"},
      {S::kEnded, {none}, E::kDuration, 3.6, Outcome::kUsable, Band::kGreen, "", "usable"},
      {S::kEnded, {good}, E::kPhoneEnded, 0, Outcome::kIncomplete, Band::kAmber, "incomplete",
       "incomplete: the phone ended the test"},
      {S::kEnded, {good}, E::kSendFailed, 0, Outcome::kIncomplete, Band::kAmber, "incomplete",
       "incomplete: frames could not be sent"},
      {S::kEnded, {{20, 1, 3000, 2950, 2900, 3.4}}, E::kStopped, 0, Outcome::kIncomplete,
       Band::kAmber, "poor window",
       "incomplete: stopped before its duration; a 10-second window scored 3.40 (poor)"},
      {S::kEnded, {good}, E::kNone, 0, Outcome::kIncomplete, Band::kAmber, "incomplete",
       "incomplete: ended before its duration"},
      {S::kEnded, {good, {20, 11}}, E::kStopped, 0, Outcome::kUnusable, Band::kRed, "unusable",
       "not usable: 11 interruptions, over 10 (1 of 2 cycles not usable)"},
      {S::kEnded, {}, E::kDuration, 0, Outcome::kNoResult, Band::kAmber, "incomplete",
       "incomplete: its test delivered no result"},
      {S::kUnfinished, {good}, E::kNone, 0, Outcome::kIncomplete, Band::kAmber, "incomplete",
       "incomplete: still running when the report was made"},
  };
  for (const auto& c : cases) {
    std::vector<CycleRecord> cycles;
    for (const Cycle& cycle : c.cycles) cycles.push_back(Record(cycle));
    const Verdict v = Judge(c.stage, cycles, c.end, c.minMos);
    SCOPED_TRACE(c.summary);
    EXPECT_EQ(v.outcome, c.outcome);
    EXPECT_EQ(v.band, c.band);
    EXPECT_STREQ(v.word, c.word);
    EXPECT_EQ(v.Summary(), c.summary);
  }
}

TEST(Verdict, TheLiveViewsJudgeATestByItsSnapshot) {
  const VoiceQuality voice = Record(Cycle{}).voice;
  TestStatistics figures = Record(Cycle{}).stats;
  EXPECT_EQ(LiveVerdict({false, {}, TestEnd::kNone}, {}).outcome, Outcome::kNotTested);
  EXPECT_EQ(LiveVerdict({true, {}, TestEnd::kNone}, {}).band, Band::kNone);
  EXPECT_EQ(LiveVerdict({true, figures, TestEnd::kNone}, voice).band, Band::kGreen);
  EXPECT_EQ(LiveVerdict({false, figures, TestEnd::kStopped}, voice).band, Band::kAmber);
  figures.avgRtt = 151;
  EXPECT_EQ(LiveVerdict({false, figures, TestEnd::kNone}, voice).band, Band::kRed);
}

}  // namespace
}  // namespace pathmon
