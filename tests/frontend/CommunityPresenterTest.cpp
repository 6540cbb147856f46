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

TEST_F(CommunityDialogTest, TheDefaultInAnyLetterCaseIsLimited) {
  Answer("OrCHiD", "6");
  ExpectRefused(kMsgDefaultCommunityDuration, kIdDuration);
}

TEST_F(CommunityDialogTest, BlanksAroundTheDefaultMakeAnotherCommunity) {
  EXPECT_FALSE(IsDefaultCommunity(" orchid"));
  EXPECT_FALSE(IsDefaultCommunity("orchid "));
  EXPECT_FALSE(IsDefaultCommunity("orchids"));
  EXPECT_FALSE(IsDefaultCommunity(""));
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

TEST_F(CommunityDialogTest, ADurationThatIsNoWholeNumberAsksForAnInteger) {
  for (const char* text : {"abc", "", "  ", "2.5", "1e1", "0x10", "+", "-", "5 5", "five", "12a"}) {
    SCOPED_TRACE(text);
    Answer("s3cret", text);
    ExpectRefused(kMsgEnterInteger, kIdDuration);
  }
}

TEST_F(CommunityDialogTest, ADurationOutsideOneToSixtyGetsTheRangeMessage) {
  EXPECT_EQ(FillMessage(kMsgIntegerRange, "1", "60"), kRangeMessage);
  for (const char* text : {"0", "61", "-3", "-0", "99999999999999999999999"}) {
    SCOPED_TRACE(text);
    Answer("s3cret", text);
    ExpectRefused(kRangeMessage, kIdDuration);
  }
}

TEST_F(CommunityDialogTest, BlanksAndTabsAroundTheNumberAndASignAreAccepted) {
  int32_t minutes = 0;
  EXPECT_EQ(ParseDuration(" \t12\t ", minutes), DurationParse::kOk);
  EXPECT_EQ(minutes, 12);
  EXPECT_EQ(ParseDuration("+7", minutes), DurationParse::kOk);
  EXPECT_EQ(minutes, 7);
  EXPECT_EQ(ParseDuration("060", minutes), DurationParse::kOk);
  EXPECT_EQ(minutes, 60);
  EXPECT_EQ(ParseDuration("1", minutes), DurationParse::kOk);
  EXPECT_EQ(minutes, 1);
}

TEST_F(CommunityDialogTest, OnlyTheFirstFailingCheckIsReported) {
  // The integer check comes before the default community's limit.
  Answer("orchid", "x");
  ExpectRefused(kMsgEnterInteger, kIdDuration);
  // The range check comes before it too.
  Answer("orchid", "61");
  ExpectRefused(kRangeMessage, kIdDuration);
  // A community too long for the directory is refused before the duration is read.
  Answer(std::string(256, 'c'), "x");
  ExpectRefused("Please enter no more than 255 characters.", kIdCommunity);
}

TEST_F(CommunityDialogTest, ACommunityLongerThan255CharactersNeverReachesTheDirectory) {
  Answer(std::string(256, 'c'), "5");
  ExpectRefused("Please enter no more than 255 characters.", kIdCommunity);
}

TEST_F(CommunityDialogTest, TheDialogCanBeAnsweredAgainAfterARefusal) {
  Answer("orchid", "6");
  ExpectRefused(kMsgDefaultCommunityDuration, kIdDuration);
  Answer("orchid", "abc");
  ExpectRefused(kMsgEnterInteger, kIdDuration);
  // Cancel now (the view ends the dialog): nothing of the refused input was stored, as
  // ExpectRefused checked after each attempt.
  Answer("orchid", "3");
  EXPECT_EQ(view.ended, kResultOk);
  EXPECT_EQ(settings.durationMinutes, 3);
  EXPECT_EQ(settings.maxConcurrentTests, 2);
}

TEST(MessagesTest, PlaceholdersAreFilledInOrder) {
  EXPECT_EQ(FillMessage(kMsgStartFailed, "alice", "SN1"), "Failed to start PATHMON for alice:SN1");
  EXPECT_EQ(FillMessage(kMsgLogFailed, "a%1b", "%s"), "Failed to retrieve log for a%1b:%s");
  EXPECT_EQ(FillMessage("100%", "x", "y"), "100%");
}

}  // namespace
}  // namespace pathmon
