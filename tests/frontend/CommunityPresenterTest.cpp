// SPDX-License-Identifier: Apache-2.0
// The community and duration dialog's rules: the default community's limits, the duration's
// parsing and range, the order of the messages, and what is stored on OK.

#include <gtest/gtest.h>

#include "frontend/CommunityPresenter.h"
#include "frontend/FakeViews.h"
#include "frontend/Messages.h"

namespace pathmon {
namespace {

using testing::RecordingView;

const std::string kRangeMessage = "Please enter an integer between 1 and 60.";

// The dialog with its presenter, opened.
struct CommunityDialog {
  CommunityDialog()
      : presenter(view, settings, [this](const char* text) { stored.push_back(text); }) {
    presenter.OnInitDialog();
  }

  // Types the two boxes and presses OK.
  void Answer(const std::string& community, const std::string& duration) {
    view.texts[kIdCommunity] = community;
    view.texts[kIdDuration] = duration;
    presenter.OnOK();
  }

  void ExpectRefused(const std::string& message, int focus) {
    ASSERT_EQ(view.messages.size(), 1u);
    EXPECT_EQ(view.messages[0], message);
    EXPECT_EQ(view.focused, focus);
    EXPECT_EQ(view.ended, 0);
    EXPECT_TRUE(stored.empty());
    EXPECT_EQ(settings.durationMinutes, 5);
    EXPECT_EQ(settings.maxConcurrentTests, 10);
    view.messages.clear();
    view.focused = 0;
  }

  RecordingView view;
  ProgramSettings settings;
  std::vector<std::string> stored;
  CommunityPresenter presenter;
};

class CommunityDialogTest : public ::testing::Test, protected CommunityDialog {};

TEST_F(CommunityDialogTest, OpensWithTheDefaultsAndTheHelpText) {
  EXPECT_EQ(view.texts[kIdCommunity], "orchid");
  EXPECT_EQ(view.texts[kIdDuration], "5");
  EXPECT_EQ(view.texts[kIdCommunityHelp], kCommunityHelp);
  EXPECT_NE(view.texts[kIdCommunityHelp].find("to default value of \"orchid\"."),
            std::string::npos);
}

TEST_F(CommunityDialogTest, OkAtOnceAcceptsTheDefaultAndAllowsTwoTestsOfFiveMinutes) {
  presenter.OnOK();
  EXPECT_TRUE(view.messages.empty());
  EXPECT_EQ(view.ended, kResultOk);
  EXPECT_EQ(stored, std::vector<std::string>{"orchid"});
  EXPECT_EQ(settings.durationMinutes, 5);
  EXPECT_EQ(settings.maxConcurrentTests, 2);
}

// The class of the test's datagrams: a standard name in any letter case or 0 to 63.
TEST_F(CommunityDialogTest, TheDscpClassIsANameOrANumberAndUnmarkedByDefault) {
  EXPECT_EQ(view.texts[kIdDscp], "CS0");
  for (const char* bad : {"64", "XY", ""}) {
    view.texts[kIdDscp] = bad;
    Answer("lab", "5");
    ExpectRefused(kMsgBadDscp, kIdDscp);
  }
  view.texts[kIdDscp] = "ef";
  Answer("lab", "5");
  EXPECT_EQ(view.ended, kResultOk);
  EXPECT_EQ(settings.dscp, 46);
}

TEST(CommunityDialog, OnlyBlanksFreeTheDefaultCommunity) {
  for (const char* other : {" orchid", "orchid ", "orchids", ""}) {
    EXPECT_FALSE(IsDefaultCommunity(other)) << other;
  }
}

// What OK stores: the community as typed, the duration, and the limit of tests at once that
// goes with the community.
TEST(CommunityDialog, AnAcceptedAnswerIsStoredWithItsLimit) {
  struct Case {
    std::string community, duration;
    int32_t minutes, limit;
  };
  for (const Case& c : {Case{"ORCHID", "5", 5, 2}, Case{" orchid", "60", 60, 10},
                        Case{"s3cret", "60", 60, 10}, Case{"", "7", 7, 10},
                        Case{"s3cret", "  12 ", 12, 10}, Case{std::string(255, 'c'), "5", 5, 10}}) {
    SCOPED_TRACE(c.community + "/" + c.duration);
    CommunityDialog d;
    d.Answer(c.community, c.duration);
    EXPECT_TRUE(d.view.messages.empty());
    EXPECT_EQ(d.view.ended, kResultOk);
    EXPECT_EQ(d.stored, std::vector<std::string>{c.community});
    EXPECT_EQ(d.settings.durationMinutes, c.minutes);
    EXPECT_EQ(d.settings.maxConcurrentTests, c.limit);
  }
}

// Refused answers on one dialog: only the first failing check is said (the community's length,
// the integer, the range, then the default community's limit), nothing of it is stored
// (ExpectRefused), and the dialog can still be answered.
TEST_F(CommunityDialogTest, ARefusedAnswerSaysItsFirstFailingCheckAndStoresNothing) {
  struct Case {
    std::string community, duration, message;
    int focus;
  };
  const std::string tooLong = "Please enter no more than 255 characters.";
  std::vector<Case> cases = {{"OrCHiD", "6", kMsgDefaultCommunityDuration, kIdDuration},
                             {"orchid", "x", kMsgEnterInteger, kIdDuration},
                             {"orchid", "61", kRangeMessage, kIdDuration},
                             {std::string(256, 'c'), "x", tooLong, kIdCommunity},
                             {std::string(256, 'c'), "5", tooLong, kIdCommunity}};
  for (const char* text : {"abc", "", "  ", "2.5", "1e1", "0x10", "+", "-", "5 5", "five", "12a"}) {
    cases.push_back({"s3cret", text, kMsgEnterInteger, kIdDuration});
  }
  for (const char* text : {"0", "61", "-3", "-0", "99999999999999999999999"}) {
    cases.push_back({"s3cret", text, kRangeMessage, kIdDuration});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.community.substr(0, 8) + "/" + c.duration);
    Answer(c.community, c.duration);
    ExpectRefused(c.message, c.focus);
  }
  Answer("orchid", "3");
  EXPECT_EQ(view.ended, kResultOk);
  EXPECT_EQ(settings.durationMinutes, 3);
  EXPECT_EQ(settings.maxConcurrentTests, 2);
}

TEST(CommunityDialog, BlanksAndTabsAroundTheNumberAndASignAreAccepted) {
  const std::pair<const char*, int32_t> cases[] = {
      {" \t12\t ", 12}, {"+7", 7}, {"060", 60}, {"1", 1}};
  for (const auto& [text, expected] : cases) {
    int32_t minutes = 0;
    EXPECT_EQ(ParseDuration(text, minutes), DurationParse::kOk) << text;
    EXPECT_EQ(minutes, expected) << text;
  }
}

TEST(MessagesTest, PlaceholdersAreFilledInOrder) {
  EXPECT_EQ(FillMessage(kMsgStartFailed, "alice", "SN1"), "Failed to start PATHMON for alice:SN1");
  EXPECT_EQ(FillMessage(kMsgLogFailed, "a%1b", "%s"), "Failed to retrieve log for a%1b:%s");
  EXPECT_EQ(FillMessage("100%", "x", "y"), "100%");
}

}  // namespace
}  // namespace pathmon
