// SPDX-License-Identifier: Apache-2.0
// The add-phones dialog's rules: inet_addr's idea of an address, the order of the range
// messages, the scan's progress figures and the messages at its end.

#include <gtest/gtest.h>

#include <array>

#include "frontend/AddPhonesPresenter.h"
#include "frontend/FakeViews.h"
#include "frontend/Messages.h"

namespace pathmon {
namespace {

using testing::RecordingView;

// The directory's count and the busy slots, as the test sets them.
class FakeDiscovery final : public DiscoveryAccess {
 public:
  int32_t GetPhoneCount() override { return count; }
  bool StartDiscovery(const char* first, const char* last) override {
    scans.push_back(std::string(first) + "-" + last);
    if (events != nullptr) events->push_back("scan");
    return true;
  }
  int32_t GetBusySlotCount() override { return busy; }
  ScanCounts GetScanCounts() override { return counts; }

  int32_t count = 0;
  ScanCounts counts;
  int32_t busy = 0;
  std::vector<std::string> scans;
  std::vector<std::string>* events = nullptr;
};

// The first check that fails gives the message: the start (also when both are bad), the end,
// the order, the size.
TEST(AddressRangeTest, EachBadRangeGetsItsMessage) {
  const std::vector<std::array<std::string, 3>> cases = {
      {"", "10.0.0.1", kMsgInvalidStart},
      {"0.0.0.0", "10.0.0.1", kMsgInvalidStart},
      {"255.255.255.255", "10.0.0.1", kMsgInvalidStart},
      {"10.0.0.256", "10.0.0.1", kMsgInvalidStart},
      {"phone", "10.0.0.1", kMsgInvalidStart},
      {"", "", kMsgInvalidStart},
      {"x", "255.255.255.255", kMsgInvalidStart},
      {"10.0.0.1", "255.255.255.255", kMsgInvalidEnd},
      {"10.0.0.1", "", kMsgInvalidEnd},
      {"10.0.0.9", "10.0.0.1", kMsgInvalidRange},
      {"200.0.0.1", "10.0.0.1", kMsgInvalidRange},
      {"200.0.0.1", "1.0.0.1", kMsgInvalidRange},  // below its start, however wide
      {"10.0.0.0", "10.0.1.0", kMsgRangeTooLarge},
      {"10.0.0.1", "200.0.0.1", kMsgRangeTooLarge},
      {"10.0.0.5", "10.0.0.5", ""},
  };
  for (const auto& [first, last, message] : cases) {
    EXPECT_EQ(CheckAddressRange(first.c_str(), last.c_str()).message, message)
        << first << " - " << last;
  }
  // inet_addr's shorter and hexadecimal forms are addresses; 256 addresses at most.
  RangeCheck shortForm = CheckAddressRange("10.1", "0x0a.0.0.3");
  EXPECT_EQ(shortForm.message, "");
  EXPECT_EQ(shortForm.first, 0x0a000001u);
  EXPECT_EQ(shortForm.last, 0x0a000003u);
  RangeCheck full = CheckAddressRange("10.0.0.0", "10.0.0.255");
  EXPECT_EQ(full.message, "");
  EXPECT_EQ(full.last - full.first, 255u);
}

TEST(ScanEndTest, MessagesDependOnWhatTheDirectoryHeldBefore) {
  EXPECT_EQ(ScanEndMessage(3, 0), "");
  EXPECT_EQ(ScanEndMessage(5, 3), "");
  EXPECT_EQ(ScanEndMessage(3, 3), kMsgNoNewPhones);
  EXPECT_EQ(ScanEndMessage(0, 0), kMsgNoPhones);
}

class AddPhonesDialogTest : public ::testing::Test {
 protected:
  AddPhonesDialogTest() : presenter(view, discovery) { discovery.events = &view.events; }

  void Open(int32_t phones) {
    discovery.count = phones;
    presenter.OnInitDialog();
  }
  void Start(const std::string& first, const std::string& last) {
    view.texts[kIdStartAddress] = first;
    view.texts[kIdEndAddress] = last;
    presenter.OnStart();
  }

  RecordingView view;
  FakeDiscovery discovery;
  AddPhonesPresenter presenter;
};

TEST_F(AddPhonesDialogTest, OpensWithEmptyBoxesAndTheDirectorysCount) {
  Open(4);
  EXPECT_EQ(view.texts[kIdStartAddress], "");
  EXPECT_EQ(view.texts[kIdEndAddress], "");
  EXPECT_EQ(view.texts[kIdDiscovered], "4");
  EXPECT_EQ(view.texts[kIdScanned], "0");
  EXPECT_EQ(view.texts[kIdRemaining], "0");
  EXPECT_EQ(view.texts[kIdAddPhonesHelp], kAddPhonesHelp);
  EXPECT_EQ(presenter.baselineCount, 4);
}

TEST_F(AddPhonesDialogTest, ABadRangeShowsOneMessageAndLeavesTheDialogAsItWas) {
  Open(0);
  Start("10.0.0.9", "10.0.0.1");
  EXPECT_EQ(view.messages, std::vector<std::string>{kMsgInvalidRange});
  EXPECT_TRUE(discovery.scans.empty());
  EXPECT_TRUE(view.enabled.empty());
  EXPECT_TRUE(view.timers.empty());
  EXPECT_EQ(view.texts[kIdStartAddress], "10.0.0.9");  // the user's texts stay
  EXPECT_EQ(view.ended, 0);
}

TEST_F(AddPhonesDialogTest, AGoodRangeScansUnderTheWaitCursorThenPollsEveryTwoSeconds) {
  Open(0);
  view.events.clear();
  Start("10.0.0.250", "10.0.1.4");
  EXPECT_EQ(discovery.scans, std::vector<std::string>{"10.0.0.250-10.0.1.4"});
  std::vector<std::string> expected = {"range 1 10", "pos 1",       "wait",
                                       "scan",       "unwait",      "timer 1 2000",
                                       "disable 1",  "disable 2",   "disable 1008",
                                       "disable 1009"};
  EXPECT_EQ(view.events, expected);
  EXPECT_TRUE(view.messages.empty());

  // Enter on the disabled Start starts nothing more.
  presenter.OnStart();
  EXPECT_EQ(discovery.scans.size(), 1u);
}

TEST_F(AddPhonesDialogTest, TicksShowProgressUntilNoProbeIsBusy) {
  Open(2);
  Start("10.0.0.1", "10.0.0.5");  // span 4, five addresses
  discovery.busy = 3;
  discovery.count = 3;
  presenter.OnTimer(kScanTimerId);
  EXPECT_EQ(view.progressPos, 1);
  EXPECT_EQ(view.texts[kIdDiscovered], "3");
  EXPECT_EQ(view.texts[kIdScanned], "2");
  EXPECT_EQ(view.texts[kIdRemaining], "3");
  EXPECT_EQ(view.ended, 0);

  // Probes of an earlier scan can keep more slots busy than this range has addresses:
  // scanned never shows a negative number.
  discovery.busy = 9;
  presenter.OnTimer(kScanTimerId);
  EXPECT_EQ(view.texts[kIdScanned], "0");

  // Ticks of another timer are not the scan's.
  discovery.busy = 0;
  presenter.OnTimer(7);
  EXPECT_EQ(view.ended, 0);

  presenter.OnTimer(kScanTimerId);
  EXPECT_EQ(view.texts[kIdScanned], "5");
  EXPECT_EQ(view.texts[kIdRemaining], "0");
  EXPECT_EQ(view.timers.count(kScanTimerId), 0u);
  EXPECT_TRUE(view.messages.empty());
  EXPECT_EQ(view.ended, kResultOk);
}

TEST_F(AddPhonesDialogTest, ASingleAddressHasAnEmptyProgressRangeAndCountsOneWhenDone) {
  Open(0);
  Start("10.0.0.7", "10.0.0.7");
  EXPECT_EQ(view.progressMin, 1);
  EXPECT_EQ(view.progressMax, 0);
  discovery.count = 1;
  presenter.OnTimer(kScanTimerId);
  EXPECT_EQ(view.texts[kIdScanned], "1");
  EXPECT_EQ(view.ended, kResultOk);
}

TEST_F(AddPhonesDialogTest, AScanThatFindsOnlyKnownPhonesSaysSoAndCancels) {
  Open(3);
  Start("10.0.0.1", "10.0.0.3");
  discovery.counts = {3, 0};
  presenter.OnTimer(kScanTimerId);
  EXPECT_EQ(view.messages, std::vector<std::string>{std::string(kMsgNoNewPhones) +
                                                    "\nOf the addresses scanned, 3 answered "
                                                    "SNMP and 0 timed out."});
  EXPECT_EQ(view.ended, kResultCancel);
}

TEST_F(AddPhonesDialogTest, AScanThatFindsNothingInAnEmptyDirectoryGivesTheLongMessage) {
  Open(0);
  Start("10.0.0.1", "10.0.0.3");
  discovery.counts = {1, 2};  // say, a wrong community
  presenter.OnTimer(kScanTimerId);
  EXPECT_EQ(view.messages, std::vector<std::string>{std::string(kMsgNoPhones) +
                                                    "\nOf the addresses scanned, 1 answered "
                                                    "SNMP and 2 timed out."});
  EXPECT_EQ(view.ended, kResultCancel);
  // The timer was killed before the message, so no tick can end the dialog twice.
  auto kill = std::find(view.events.begin(), view.events.end(), "kill 1");
  auto message = std::find(view.events.begin(), view.events.end(), "message");
  EXPECT_LT(kill, message);
}

}  // namespace
}  // namespace pathmon
