// SPDX-License-Identifier: Apache-2.0
// The main window's logic: the list rebuild and refresh, the sort by a figure, and the Start,
// Stop, Get Log, Add and Close commands with the concurrent limit.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <future>
#include <thread>
#include <functional>
#include <memory>
#include <regex>

#include "discovery/PhoneListMgr.h"
#include "frontend/FakeViews.h"
#include "frontend/FakeFleet.h"
#include "frontend/MainPresenter.h"
#include "frontend/Messages.h"
#include "frontend/VoiceWorker.h"

namespace pathmon {
namespace {

using testing::RecordingView;
using testing::FakeClock;
using testing::FakeFleet;

// A list control in memory; several rows may be selected, so the walks are tested for any
// number of rows.
class FakeMainView final : public testing::RecordingView, public MainView {
 public:
  struct Row {
    LoopTest* test;
    std::string cells[kTableColumnCount];
    bool selected = false;
    Band band = Band::kNone;
    std::string toolTip;
  };

  // DialogView, forwarded to the recorder.
  void EndDialog(int r) override { RecordingView::EndDialog(r); }
  std::string GetControlText(int id) override { return RecordingView::GetControlText(id); }
  void SetControlText(int id, const std::string& t) override {
    RecordingView::SetControlText(id, t);
  }
  void SetProgressRange(int16_t a, int16_t b) override { RecordingView::SetProgressRange(a, b); }
  void SetProgressPos(int p) override { RecordingView::SetProgressPos(p); }
  void EnableControl(int id, bool e) override { RecordingView::EnableControl(id, e); }
  void FocusControl(int id) override { RecordingView::FocusControl(id); }
  void StartTimer(int id, int ms) override { RecordingView::StartTimer(id, ms); }
  void KillTimer(int id) override { RecordingView::KillTimer(id); }
  void BeginWaitCursor() override { RecordingView::BeginWaitCursor(); }
  void EndWaitCursor() override { RecordingView::EndWaitCursor(); }
  void ShowMessage(const std::string& t) override { RecordingView::ShowMessage(t); }

  int ListRowCount() override { return static_cast<int>(rows.size()); }
  LoopTest* ListRowTest(int row) override { return rows.at(row).test; }
  void ListDeleteAllRows() override {
    rows.clear();
    events.push_back("clear");
  }
  bool ListInsertRow(int row, const std::string& text, LoopTest* test) override {
    Row r{test, {}, false, Band::kNone, {}};
    r.cells[0] = text;
    rows.insert(rows.begin() + std::min<int>(row, static_cast<int>(rows.size())), r);
    return true;
  }
  void ListSetText(int row, int column, const std::string& text) override {
    rows.at(row).cells[column] = text;
  }
  int ListNextSelected(int after) override {
    for (int i = after + 1; i < static_cast<int>(rows.size()); ++i) {
      if (rows[i].selected) return i;
    }
    return -1;
  }
  void ListReorder(const std::vector<int>& order) override {
    std::vector<Row> sorted;
    for (int old : order) sorted.push_back(rows.at(old));
    rows = sorted;
  }
  void ListSetBand(int row, Band band, const std::string& toolTip) override {
    rows.at(row).band = band;
    rows.at(row).toolTip = toolTip;
  }
  void ListSetSortIndicator(int column, bool largestFirst) override {
    sortMark = {column, largestFirst};
  }
  void RunAddPhonesDialog() override { events.push_back("add dialog"); }
  void ShowAboutDialog() override { events.push_back("about"); }

  std::vector<std::string> Column(int column) const {
    std::vector<std::string> out;
    for (const Row& r : rows) out.push_back(r.cells[column]);
    return out;
  }

  std::vector<Row> rows;
  std::pair<int, bool> sortMark{-2, false};  // column, largest first
};

// The window with its presenter on the in-memory fleet.
struct MainWindow {
  MainWindow() : presenter(view, backend, settings) {}

  // Phones SN0..SN<n-1>, users user0.., addresses 10.0.0.1.., listed.
  void ListPhones(int n) {
    for (int i = 0; i < n; ++i) {
      backend.Add("10.0.0." + std::to_string(i + 1), "SN" + std::to_string(i), true,
                  "user" + std::to_string(i));
    }
    CreateTests();
    presenter.FillPhoneList();
  }
  // Tests for every phone added, without a call of the window's own in the log.
  void CreateTests() {
    backend.StartDiscovery("0.0.0.0", "255.255.255.255");
    backend.CreateLoopTestsForPhones();
    backend.calls.clear();
  }
  // A refresh that asks for the voice figures, and the worker's assessment of them: the next
  // refresh shows them.
  void RefreshAndAssess() {
    presenter.OnTimer(kRefreshTimerId);
    presenter.Voices().WaitIdle();
  }
  void SetRunning(int row, bool running) { backend.Of(view.rows.at(row).test).running = running; }
  TestStatistics& Stats(int row) { return backend.Of(view.rows.at(row).test).stats; }
  void Select(const std::vector<int>& rows) {
    for (auto& r : view.rows) r.selected = false;
    for (int row : rows) view.rows.at(row).selected = true;
  }

  FakeMainView view;
  FakeClock clock;
  FakeFleet backend{clock};
  ProgramSettings settings;
  MainPresenter presenter;
};

class MainWindowTest : public ::testing::Test, protected MainWindow {};

TEST_F(MainWindowTest, OpeningSetsTheHelpTextsAndTheTwoSecondRefresh) {
  presenter.OnInitDialog();
  EXPECT_EQ(view.texts[kIdHelpAdd], kMainHelpAdd);
  EXPECT_EQ(view.texts[kIdHelpFigures], kMainHelpFigures);
  EXPECT_EQ(view.timers[kRefreshTimerId], 2000);
  EXPECT_EQ(view.rows.size(), 0u);
  presenter.OnTimer(kRefreshTimerId);  // no rows: nothing changes
  EXPECT_EQ(view.rows.size(), 0u);
}

TEST_F(MainWindowTest, TheColumnsAreTheTwelveOfTheList) {
  std::vector<std::string> headers;
  int width = 0;
  for (const ListColumn& c : kListColumns) {
    headers.push_back(c.header);
    width += c.width;
  }
  std::vector<std::string> expected = {"USER", "SN",           "PATHMON", "SENT",
                                       "RCVD", "LOST",         "INTERRUPTIONS",
                                       "AVG RTT", "MAXBURSTLOST", "DELAYED", "RTT", "MAX RTT"};
  EXPECT_EQ(headers, expected);
  EXPECT_EQ(width, 1000);
}

TEST_F(MainWindowTest, FillMakesOneRowPerTestInRegistryOrder) {
  backend.Add("10.0.0.2", "SN-B", true, "bob");
  backend.Add("10.0.0.1", "SN-A", true, "alice");
  backend.Add("10.0.0.3", "SN-LOST");
  CreateTests();
  backend.Get("SN-LOST").found = false;  // a test whose phone the directory no longer knows
  presenter.FillPhoneList();
  EXPECT_EQ(view.Column(0), (std::vector<std::string>{"bob", "alice", ""}));
  EXPECT_EQ(view.Column(1), (std::vector<std::string>{"SN-B", "SN-A", ""}));
  EXPECT_EQ(view.rows[0].test, backend.Get("SN-B").test.get());
  EXPECT_EQ(view.Column(2), (std::vector<std::string>{"", "", ""}));  // until the refresh
}

TEST_F(MainWindowTest, RefreshWritesTheStateAndTheFiguresOfEveryRow) {
  ListPhones(2);
  Stats(1) = {.lastRtt = -5, .avgRtt = 42, .lost = 10, .delayed = 3, .maxRtt = 401,
              .maxBurstLost = 7, .received = 14990, .sent = 15000, .interruptions = 1};
  SetRunning(1, true);
  presenter.OnTimer(kRefreshTimerId);
  std::vector<std::string> row1(view.rows[1].cells + 2, view.rows[1].cells + kColumnCount);
  EXPECT_EQ(row1, (std::vector<std::string>{"Running", "15000", "14990", "10", "1", "42", "7",
                                            "3", "-5", "401"}));
  EXPECT_EQ(view.rows[0].cells[2], "Stopped");
  EXPECT_EQ(view.rows[0].cells[3], "0");
}

TEST_F(MainWindowTest, RefreshWritesTheVoiceFiguresWithTheBandInWordsAndATooltip) {
  ListPhones(3);
  for (int row : {0, 1}) {
    Stats(row) = {.received = 2850, .sent = 3000};
    VoiceQuality& v = backend.Of(view.rows[row].test).voice;
    v.loss.sent = 3000;
    v.jitterUs = 1234;
    v.rtt.p95Us = 45670;
    v.score.mos = 4.1;
    v.worstWindowMos = row == 0 ? 4.0 : 2.5;
    v.interruptions = {{1'765'000'000'000'000'000, 1000, 150, 3}};
  }
  // The first refresh asks for the figures and shows none; the next shows what finished.
  RefreshAndAssess();
  EXPECT_EQ(view.rows[0].cells[kFirstVoiceColumn + 2], "-");
  presenter.OnTimer(kRefreshTimerId);
  std::vector<std::string> voice0(view.rows[0].cells + kFirstVoiceColumn,
                                  view.rows[0].cells + kTableColumnCount);
  EXPECT_EQ(voice0, (std::vector<std::string>{"1.23", "45.7", "4.10", "4.00"}));
  EXPECT_EQ(view.rows[0].band, Band::kGreen);
  EXPECT_EQ(view.rows[1].cells[kFirstVoiceColumn + 2], "4.10 bad window");  // MOS, WORST 2.5
  EXPECT_EQ(view.rows[1].band, Band::kAmber);  // usable, but a bad window
  EXPECT_NE(view.rows[1].toolTip.find("150 frames lost, 3 interruptions"), std::string::npos)
      << view.rows[1].toolTip;
  // A phone whose cycle sent nothing has no figures, no band and no tooltip.
  EXPECT_EQ(view.rows[2].cells[kFirstVoiceColumn + 2], "-");
  EXPECT_EQ(view.rows[2].band, Band::kNone);
  EXPECT_EQ(view.rows[2].toolTip, "");
  // A stopped test's figures are assessed again only when its cycle changed.
  presenter.Voices().WaitIdle();
  int reads = backend.Of(view.rows[0].test).voiceReads;
  RefreshAndAssess();
  EXPECT_EQ(backend.Of(view.rows[0].test).voiceReads, reads);
  SetRunning(0, true);
  RefreshAndAssess();
  RefreshAndAssess();
  EXPECT_EQ(backend.Of(view.rows[0].test).voiceReads, reads + 2);
  // A test that ended after its figures were asked for is asked for once more: its final
  // figures replace those of the running cycle.
  SetRunning(0, false);
  backend.Of(view.rows[0].test).voice.worstWindowMos = 2.0;
  RefreshAndAssess();
  presenter.OnTimer(kRefreshTimerId);
  EXPECT_EQ(view.rows[0].cells[kFirstVoiceColumn + 3], "2.00");
  EXPECT_EQ(view.rows[0].band, Band::kAmber);
}

TEST_F(MainWindowTest, AVoiceColumnSortsByItsFigureAndARowWithoutFiguresGoesLast) {
  ListPhones(4);
  double worst[] = {3.2, 0, 4.1, 3.2};  // row 1 sent nothing
  for (int i = 0; i < 4; ++i) {
    if (worst[i] == 0) continue;
    backend.Of(view.rows[i].test).voice.loss.sent = 100;
    backend.Of(view.rows[i].test).voice.worstWindowMos = worst[i];
  }
  RefreshAndAssess();
  int column = kFirstVoiceColumn + 3;  // WORST
  presenter.OnColumnClick(column);
  EXPECT_EQ(view.Column(1), (std::vector<std::string>{"SN2", "SN0", "SN3", "SN1"}));
  EXPECT_EQ(view.sortMark, (std::pair<int, bool>{column, true}));
  presenter.OnColumnClick(column);
  EXPECT_EQ(view.Column(1), (std::vector<std::string>{"SN1", "SN0", "SN3", "SN2"}));
}

// A figure's column sorts largest first, a second click reverses, ties keep their order either
// way; USER, SN, PATHMON and no column at all impose no order and leave the mark.
TEST_F(MainWindowTest, ClickingAFigureSortsLargestFirstThenReversedKeepingTiesAndTheMark) {
  ListPhones(4);
  int lost[] = {5, 9, 5, 0};
  for (int i = 0; i < 4; ++i) Stats(i).lost = lost[i];
  struct Click {
    int column;
    std::vector<std::string> serials;
    std::pair<int, bool> mark;
  };
  const std::vector<std::string> byLost = {"SN1", "SN0", "SN2", "SN3"};
  const std::vector<std::string> reversed = {"SN3", "SN0", "SN2", "SN1"};
  std::vector<Click> clicks = {{5, byLost, {5, true}}, {5, reversed, {5, false}}};
  for (int column : {0, 1, 2, kTableColumnCount, -1}) {
    clicks.push_back({column, reversed, {5, false}});
  }
  clicks.push_back({5, byLost, {5, true}});
  clicks.push_back({6, byLost, {6, true}});  // another column: largest first again
  for (const Click& click : clicks) {
    presenter.OnColumnClick(click.column);
    EXPECT_EQ(view.Column(1), click.serials) << "after a click on " << click.column;
    EXPECT_EQ(view.sortMark, click.mark) << "after a click on " << click.column;
  }
  EXPECT_EQ(view.Column(5), (std::vector<std::string>{"9", "5", "5", "0"}));  // refreshed
  presenter.OnAddPhones();  // registry order, no mark
  EXPECT_EQ(view.Column(1), (std::vector<std::string>{"SN0", "SN1", "SN2", "SN3"}));
  EXPECT_EQ(view.sortMark, (std::pair<int, bool>{-1, true}));
}

TEST_F(MainWindowTest, TheStatusLineCountsPhonesRunningAndUnusableAndTellsTheLastScan) {
  presenter.OnInitDialog();
  EXPECT_EQ(view.texts[kIdStatusLine], "0 phones \u00b7 0 running \u00b7 0 unusable");
  ListPhones(3);
  SetRunning(0, true);
  Stats(1) = {.avgRtt = 151, .received = 100, .sent = 100};  // over the usable rule's bound
  presenter.OnTimer(kRefreshTimerId);
  EXPECT_EQ(view.texts[kIdStatusLine], "3 phones \u00b7 1 running \u00b7 1 unusable");
  presenter.OnAddPhones();
  EXPECT_TRUE(std::regex_match(
      view.texts[kIdStatusLine],
      std::regex("3 phones \u00b7 1 running \u00b7 1 unusable \u00b7 last scan \\d\\d:\\d\\d")))
      << view.texts[kIdStatusLine];
  // SN0 lost frames while SN1 ran on: its own interruption.
  TestObserver& tests = *presenter.Shared().Observer();
  const TestIdentity sn0{"SN0", "", ::inet_addr("10.0.0.1")};
  const TestIdentity sn1{"SN1", "", ::inet_addr("10.0.1.1")};
  tests.OnStarted({sn0, 1'765'000'000});
  tests.OnStarted({sn1, 1'765'000'000});
  tests.OnInterruptionSpan({sn0, 1'765'000'009, {1'765'000'005'000'000'000, 250, 50, 1,
                                                 1'765'000'005'980'000'000}});
  presenter.Shared().Flush();
  presenter.OnTimer(kRefreshTimerId);
  EXPECT_TRUE(std::regex_search(
      view.texts[kIdStatusLine],
      std::regex(" \u00b7 last shared interruption \\d\\d:\\d\\d:\\d\\d, SN0 only$")))
      << view.texts[kIdStatusLine];
}

TEST_F(MainWindowTest, SortingCopesWithFiguresSpanningTheWholeRange) {
  // A phone echoing wild send ticks gives round-trip times at both ends of the 32-bit range:
  // their difference does not fit, yet the order must hold.
  TestSnapshot low, high;
  low.stats.lastRtt = INT32_MIN;
  high.stats.lastRtt = INT32_MAX;
  EXPECT_GT(CompareRows(low, high, 10), 0);
  EXPECT_LT(CompareRows(high, low, 10), 0);
  EXPECT_EQ(CompareRows(high, high, 10), 0);
  EXPECT_EQ(CompareRows(low, high, 2), 0);

  std::vector<std::optional<TestSnapshot>> rows = {low, std::nullopt, high};
  EXPECT_EQ(SortOrder(rows, 10), (std::vector<int>{0, 1, 2}));  // the empty row blocks
  rows = {low, high, std::nullopt};
  EXPECT_EQ(SortOrder(rows, 10), (std::vector<int>{1, 0, 2}));
}

// Start walks the selected rows; a row it cannot start is said once (or skipped) and the
// walk goes on, up to the limit of tests at once, and the wait cursor is given back every time.
TEST_F(MainWindowTest, StartSkipsWhatItCannotStartAndStopsAtTheLimit) {
  struct Case {
    const char* what;
    std::vector<int> running, selected;
    std::function<void(MainWindow&)> arrange;
    std::vector<std::string> messages;
    const char* callsOf;  // the calls compared, by their start ("": all)
    std::vector<std::string> calls;
  };
  const std::vector<Case> cases = {
      {"no selection", {}, {}, {}, {kMsgSelectToStart}, "", {}},
      {"a running row", {0}, {0}, {}, {}, "", {}},
      {"a phone that does not answer", {}, {0, 2},
       [](MainWindow& w) { w.backend.Get("SN0").answers = false; },
       {"Failed to start PATHMON for user0:SN0"}, "start", {"start SN2 300 20 10.0.0.3"}},
      {"a phone gone", {}, {0}, [](MainWindow& w) { w.backend.Get("SN0").found = false; }, {},
       "", {}},
      {"a third test", {0, 1}, {2}, {}, {kMsgTooManyRunning}, "", {}},
      // Another community's limit: the tenth starts, the eleventh does not.
      {"an eleventh test", {0, 1, 2, 3, 4, 5, 6, 7, 8}, {9, 10},
       [](MainWindow& w) { w.settings.maxConcurrentTests = 10; }, {kMsgTooManyRunning}, "start",
       {"start SN9 300 20 10.0.0.10"}},
      // A start whose thread does not report running takes a place all the same, so tests
      // still starting cannot overrun the limit; the walk ends there (SN3 is never tried).
      {"a second test still starting", {0}, {1, 2, 3},
       [](MainWindow& w) { w.backend.startSucceeds = false; }, {kMsgTooManyRunning}, "",
       {"exchange SN1 1 10.0.0.2", "start SN1 300 20 10.0.0.2"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    MainWindow w;
    w.settings.maxConcurrentTests = 2;  // the default community's limit
    w.ListPhones(12);
    for (int row : c.running) w.SetRunning(row, true);
    w.Select(c.selected);
    if (c.arrange) c.arrange(w);
    w.presenter.OnStart();
    EXPECT_EQ(w.view.messages, c.messages);
    EXPECT_EQ(w.backend.Calls(c.callsOf), c.calls);
    EXPECT_EQ(w.view.waitDepth, 0);
  }
}

TEST_F(MainWindowTest, StartRunsTheExchangeThenTheTestWithTheSettingsDuration) {
  settings.durationMinutes = 7;
  ListPhones(3);
  Select({1});
  view.events.clear();
  presenter.OnStart();
  EXPECT_TRUE(view.messages.empty());
  EXPECT_EQ(backend.calls, (std::vector<std::string>{"exchange SN1 1 10.0.0.2",
                                                     "start SN1 420 20 10.0.0.2"}));
  EXPECT_EQ(view.waitDepth, 0);
  EXPECT_EQ(view.events.front(), "wait");
}

TEST_F(MainWindowTest, StopEndsOnlyTheSelectedRunningTests) {
  ListPhones(3);
  presenter.OnStop();
  EXPECT_EQ(view.messages, std::vector<std::string>{kMsgSelectToStop});
  view.messages.clear();
  SetRunning(0, true);
  SetRunning(2, true);
  Select({0, 1});
  presenter.OnStop();
  EXPECT_TRUE(view.messages.empty());
  EXPECT_EQ(backend.calls, std::vector<std::string>{"stop SN0"});
  EXPECT_EQ(view.waitDepth, 0);
}

TEST_F(MainWindowTest, GetLogNamesTheFileAfterUserAndSerialAndKeepsItInTheCurrentDirectory) {
  backend.Add("10.0.0.1", "SN1", true, "CORP\\bob");
  backend.Add("10.0.0.2", "SN2", true, "../../etc/x");
  backend.Add("10.0.0.3", "SN3");
  CreateTests();
  backend.Get("SN3").found = false;  // its phone is gone
  presenter.FillPhoneList();
  Select({0, 1, 2});
  presenter.OnGetLog();
  EXPECT_EQ(backend.calls, (std::vector<std::string>{"log 10.0.0.1 CORP_bob_SN1_log.txt",
                                                     "log 10.0.0.2 _._.._etc_x_SN2_log.txt",
                                                     "log  _SN3_log.txt"}));
  EXPECT_TRUE(view.messages.empty());
}

TEST_F(MainWindowTest, AFailedLogIsReportedPerPhone) {
  ListPhones(2);
  presenter.OnGetLog();
  EXPECT_EQ(view.messages, std::vector<std::string>{kMsgSelectForLog});
  view.messages.clear();
  backend.logSucceeds = false;
  Select({0, 1});
  presenter.OnGetLog();
  EXPECT_EQ(view.messages, (std::vector<std::string>{"Failed to retrieve log for user0:SN0",
                                                     "Failed to retrieve log for user1:SN1"}));
  EXPECT_EQ(view.waitDepth, 0);
}

// A history file that fails on a test thread is shown at the next refresh, a log file
// after its retrieval; each file once, however often it fails afterwards.
TEST_F(MainWindowTest, AFileThatCannotBeWrittenIsShownOnceInABox) {
  ListPhones(1);
  backend.failures.Report("user0_SN0.txt", "No space left on device");
  backend.failures.Report("user0_SN0.txt", "No space left on device");
  presenter.OnTimer(kRefreshTimerId);
  EXPECT_EQ(view.messages,
            std::vector<std::string>{"Cannot write user0_SN0.txt: No space left on device"});
  backend.failures.Report("user0_SN0.txt", "No space left on device");
  presenter.OnTimer(kRefreshTimerId);
  EXPECT_EQ(view.messages.size(), 1u);

  view.messages.clear();
  backend.logWritable = false;
  Select({0});
  presenter.OnGetLog();
  presenter.OnGetLog();
  EXPECT_EQ(view.messages,
            std::vector<std::string>{"Cannot write user0_SN0_log.txt: Read-only file system"});
}

TEST_F(MainWindowTest, AddRunsTheDialogThenRebuildsAndRefreshesTheList) {
  ListPhones(2);
  Select({1});
  SetRunning(1, true);
  view.events.clear();
  presenter.OnAddPhones();
  EXPECT_EQ(view.events, (std::vector<std::string>{"add dialog", "clear"}));
  EXPECT_EQ(backend.calls, std::vector<std::string>{"create tests"});
  EXPECT_EQ(view.ListNextSelected(-1), -1);  // the selection is gone
  EXPECT_EQ(view.Column(2), (std::vector<std::string>{"Stopped", "Running"}));
}

TEST_F(MainWindowTest, CloseStopsEveryRunningTestSelectedOrNotThenEnds) {
  ListPhones(3);
  SetRunning(0, true);
  SetRunning(2, true);
  Select({1});
  presenter.OnCloseWindow();
  EXPECT_EQ(backend.calls, (std::vector<std::string>{"stop SN0", "stop SN2"}));
  EXPECT_EQ(view.ended, kResultOk);
  EXPECT_EQ(view.waitDepth, 0);
  EXPECT_EQ(view.events.back(), "end 1");
}

TEST_F(MainWindowTest, AboutOpensTheAboutBox) {
  presenter.OnAbout();
  EXPECT_EQ(view.events, std::vector<std::string>{"about"});
}

// The registry deletes its tests only after the window's worker stopped: Stop must drop the
// tests still queued and return only once the one being assessed is done, so that nothing
// touches a test afterwards (ASan sees it when something does).
TEST(VoiceWorkerTest, StopDropsTheQueuedTestsAndWaitsForTheOneBeingAssessed) {
  FakeClock clock;
  auto fleet = std::make_unique<FakeFleet>(clock);
  for (int i = 0; i < 3; ++i) {
    fleet->Add("10.0.1." + std::to_string(i + 1), "VW" + std::to_string(i));
  }
  fleet->StartDiscovery("0.0.0.0", "255.255.255.255");
  fleet->CreateLoopTestsForPhones();
  std::vector<LoopTest*> tests;
  fleet->ForEachLoopTest([&tests](int, LoopTest& t) { tests.push_back(&t); });
  std::promise<void> entered;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<int> assessed{0};
  std::atomic<bool> firstDone{false};
  fleet->onVoice = [&](LoopTest& test) {
    if (&test == tests[0]) {
      entered.set_value();
      released.wait();
      firstDone = true;
    }
    ++assessed;
  };
  VoiceWorker worker(*fleet);
  for (LoopTest* test : tests) worker.Request(*test);
  entered.get_future().wait();  // the first is being assessed, the other two are queued
  std::thread releaser([&release] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    release.set_value();
  });
  worker.Stop();
  EXPECT_TRUE(firstDone);
  worker.Request(*tests[1]);  // after the stop: ignored
  releaser.join();
  std::map<const LoopTest*, VoiceQuality> finished = worker.TakeVoices();
  EXPECT_EQ(finished.size(), 1u);
  EXPECT_EQ(finished.count(tests[0]), 1u);
  fleet.reset();  // the tests are gone
  EXPECT_EQ(assessed, 1);
}

}  // namespace
}  // namespace pathmon
