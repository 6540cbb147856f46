// SPDX-License-Identifier: Apache-2.0
// The add-phones dialog's logic on a terminal, against a scripted scan: the progress lines,
// the end-of-scan messages and an interruption. No network, no real waiting.

#include <gtest/gtest.h>

#include <sstream>

#include "cli/ConsoleScan.h"
#include "frontend/Messages.h"

namespace pathmon::cli {
namespace {

// A scan whose busy count falls by `step` per tick and whose phones appear as it goes.
class ScriptedScan final : public DiscoveryAccess {
 public:
  ScriptedScan(int32_t baseline, int32_t found, int32_t step)
      : count_(baseline), found_(found), step_(step) {}
  int32_t GetPhoneCount() override { return count_; }
  bool StartDiscovery(const char* first, const char* last) override {
    started = std::string(first) + "-" + last;
    busy_ = 3;
    return true;
  }
  int32_t GetBusySlotCount() override {
    int32_t now = busy_;
    busy_ = std::max(0, busy_ - step_);
    if (now == 0) count_ += std::exchange(found_, 0);
    return now;
  }
  std::string started;

 private:
  int32_t count_;
  int32_t found_;
  int32_t step_;
  int32_t busy_ = 0;
};

struct Waits {
  std::vector<int> asked;
  int interruptAt = -1;  // the wait (counted from 0) at which a signal arrives
  bool operator()(int ms) {
    asked.push_back(ms);
    return static_cast<int>(asked.size()) - 1 == interruptAt;
  }
};

TEST(ConsoleScan, ProgressEveryTwoSecondsUntilNoProbeIsBusy) {
  ScriptedScan scan(0, 2, 1);
  Waits waits;
  std::ostringstream out, err;
  ScanEnd end = RunConsoleScan(scan, {"10.0.0.1", "10.0.0.3"}, std::ref(waits), out, err, false);
  EXPECT_EQ(end, ScanEnd::kFoundNew);
  EXPECT_EQ(scan.started, "10.0.0.1-10.0.0.3");
  EXPECT_EQ(waits.asked, (std::vector<int>{2000, 2000, 2000, 2000}));
  EXPECT_EQ(out.str(),
            "Scanning 10.0.0.1-10.0.0.3: 0 scanned, 3 remaining, 0 phones found\n"
            "Scanning 10.0.0.1-10.0.0.3: 1 scanned, 2 remaining, 0 phones found\n"
            "Scanning 10.0.0.1-10.0.0.3: 2 scanned, 1 remaining, 0 phones found\n"
            "Scanning 10.0.0.1-10.0.0.3: 3 scanned, 0 remaining, 2 phones found\n");
  EXPECT_EQ(err.str(), "");  // a scan that found phones ends without a message
}

TEST(ConsoleScan, TheDialogsEndMessagesFollowTheLastProgressLine) {
  {
    ScriptedScan scan(0, 0, 3);
    Waits waits;
    std::ostringstream out, err;
    EXPECT_EQ(RunConsoleScan(scan, {"10.0.0.1", "10.0.0.3"}, std::ref(waits), out, err, false),
              ScanEnd::kNothingNew);
    EXPECT_EQ(err.str(),
              std::string(kMsgNoPhones) + "\n" + FillMessage(kMsgScanAnswers, "0", "0") + "\n");
  }
  {
    ScriptedScan scan(4, 0, 3);  // phones known from an earlier range
    Waits waits;
    std::ostringstream out, err;
    EXPECT_EQ(RunConsoleScan(scan, {"10.0.0.1", "10.0.0.3"}, std::ref(waits), out, err, false),
              ScanEnd::kNothingNew);
    EXPECT_EQ(err.str(), std::string(kMsgNoNewPhones) + "\n" +
                             FillMessage(kMsgScanAnswers, "0", "0") + "\n");
  }
}

TEST(ConsoleScan, OnATerminalTheLineIsRewrittenInPlace) {
  ScriptedScan scan(0, 1, 3);
  Waits waits;
  std::ostringstream out, err;
  RunConsoleScan(scan, {"10.0.0.1", "10.0.0.3"}, std::ref(waits), out, err, true);
  EXPECT_EQ(out.str(),
            "\rScanning 10.0.0.1-10.0.0.3: 0 scanned, 3 remaining, 0 phones found\x1b[K"
            "\rScanning 10.0.0.1-10.0.0.3: 3 scanned, 0 remaining, 1 phones found\x1b[K\n");
}

TEST(ConsoleScan, ARefusedRangeStartsNothing) {
  ScriptedScan scan(0, 1, 1);
  Waits waits;
  std::ostringstream out, err;
  EXPECT_EQ(RunConsoleScan(scan, {"10.0.0.9", "10.0.0.1"}, std::ref(waits), out, err, false),
            ScanEnd::kRefused);
  EXPECT_EQ(scan.started, "");
  EXPECT_EQ(err.str(), std::string(kMsgInvalidRange) + "\n");
  EXPECT_TRUE(waits.asked.empty());
}

TEST(ConsoleScan, ASignalEndsTheWaitAtOnce) {
  ScriptedScan scan(0, 1, 1);
  Waits waits;
  waits.interruptAt = 1;
  std::ostringstream out, err;
  EXPECT_EQ(RunConsoleScan(scan, {"10.0.0.1", "10.0.0.3"}, std::ref(waits), out, err, false),
            ScanEnd::kInterrupted);
  EXPECT_EQ(waits.asked.size(), 2u);
  EXPECT_EQ(err.str(), "");
}

}  // namespace
}  // namespace pathmon::cli
