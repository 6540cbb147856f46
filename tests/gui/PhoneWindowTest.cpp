// SPDX-License-Identifier: Apache-2.0
// A phone's window against a simulated phone with one outage: opened from its row, the live
// chart shows the outage as an interruption band and as a poor 10-second window.

#include <QAreaSeries>
#include <QChart>
#include <QChartView>
#include <QLabel>
#include <QLineEdit>
#include <QLineSeries>
#include <QListWidget>

#include "frontend/FakeFleet.h"
#include "gui/GuiFixture.h"
#include "support/SimProcess.h"
#include "ui/MainDialog.h"
#include "ui/PhoneWindow.h"
#include "frontend/VoiceWorker.h"

namespace pathmon::testing {
namespace {

class PhoneWindowTest : public GuiSessionTest {};

// The points of the named series of the phone window's named chart.
QList<QPointF> SeriesPoints(PhoneWindow* window, const char* chart, const char* series) {
  auto* view = window->findChild<QChartView*>(chart);
  if (view == nullptr) return {};
  for (QAbstractSeries* s : view->chart()->series()) {
    if (s->objectName() != series) continue;
    if (auto* area = qobject_cast<QAreaSeries*>(s)) return area->upperSeries()->points();
    if (auto* line = qobject_cast<QLineSeries*>(s)) return line->points();
  }
  return {};
}

TEST_F(PhoneWindowTest, TheLiveChartShowsAnOutageAsABandAndAPoorWindow) {
  // Frames 100-149 (2 to 3 seconds into the test) are never echoed.
  SimProcess sim({"--phone", "127.40.2.1 serial=SN21 user=olga drop=100-149"});
  ASSERT_TRUE(sim.Ok());

  GuiScript script;
  MainDialog* main = nullptr;
  QTreeView* list = nullptr;
  PhoneWindow* phone = nullptr;

  script.Then("community dialog: OK", [&] {
    QWidget* dialog = Modal("CommunityDialog");
    if (dialog == nullptr) return false;
    QueueClick(dialog, "ok");
    return true;
  });
  script.Then("Add", [&] {
    main = qobject_cast<MainDialog*>(Modal("MainDialog"));
    if (main == nullptr) return false;
    list = main->List();
    QueueClick(main, "add");
    return true;
  });
  script.Then("scan the phone", [&] {
    QWidget* dialog = Modal("AddPhonesDialog");
    if (dialog == nullptr) return false;
    dialog->findChild<QLineEdit*>("startAddress")->setText("127.40.2.1");
    dialog->findChild<QLineEdit*>("endAddress")->setText("127.40.2.1");
    QueueClick(dialog, "start");
    return true;
  });
  script.Then("start its test and open its window", [&] {
    if (Modal("MainDialog") == nullptr || RowCount(list) < 1) return false;
    SelectSerial(list, "SN21");
    QueueClick(main, "start");
    phone = main->OpenPhoneWindow(RowOfSerial(list, "SN21"));
    EXPECT_NE(phone, nullptr);
    return phone != nullptr;
  });
  script.Then("the outage shows as a band and the window as poor", [&] {
    phone->Refresh();  // as the window's timer does every 2 seconds
    const LiveChart& live = phone->Live();
    // The outage shows while it lasts; once the path is back it is 50 frames.
    if (live.interruptions.empty() || live.windows.empty()) return false;
    if (live.interruptions[0].interruption.lost < 50) return false;
    EXPECT_EQ(live.interruptions[0].interruption.lost, 50);
    // The band spans 2 to 3 seconds, on both charts.
    for (const char* chart : {"rttChart", "lossChart"}) {
      const char* name = std::string(chart) == "rttChart" ? "rttInterruptions" : "interruptions";
      QList<QPointF> band = SeriesPoints(phone, chart, name);
      EXPECT_EQ(band.size(), 4) << chart;
      if (band.size() == 4) {
        EXPECT_NEAR(band[1].x(), 2.0, 0.05) << chart;
        EXPECT_NEAR(band[2].x(), 3.0, 0.05) << chart;
        EXPECT_GT(band[1].y(), 0) << chart;
      }
    }
    QList<QPointF> mos = SeriesPoints(phone, "lossChart", "windowMos");
    EXPECT_FALSE(mos.isEmpty());
    if (!mos.isEmpty()) {
      EXPECT_LT(mos[0].y(), kPoorMos);
      EXPECT_GE(mos[0].y(), 1.0);
    }
    EXPECT_GE(SeriesPoints(phone, "lossChart", "lost").size(), 4);  // a bar of lost frames
    EXPECT_TRUE(phone->findChild<QLabel*>("figures")->text().contains(
        "\nUsable, but a 10-second window scored"));  // the verdict, as the row's band has it
    EXPECT_EQ(phone->findChild<QListWidget*>("interruptionList")->count(),
              static_cast<int>(live.interruptions.size()));
    QueueClick(main, "close");
    return true;
  }, 20000);

  EXPECT_EQ(RunProgram(script), 0);
  EXPECT_TRUE(script.Finished());
  EXPECT_TRUE(messages.empty()) << messages.front();
}

// An ended test keeps its last cycle's figures but not its frames: the chart shows each
// 10-second window's figures, and the interruption where it was.
TEST(PhoneWindowEnded, TheLastCycleIsChartedPerWindow) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  int argc = 1;
  char name[] = "gui_test";
  char* argv[] = {name, nullptr};
  QApplication app(argc, argv);
  FakeClock clock;
  FakeFleet fleet(clock);
  fleet.Add("10.0.2.1", "SNW1", true, "wendy");
  fleet.StartDiscovery("0.0.0.0", "255.255.255.255");
  fleet.CreateLoopTestsForPhones();
  VoiceQuality& voice = fleet.Get("SNW1").voice;
  voice.loss.sent = 1200;
  for (uint32_t first : {5000u, 5500u, 6000u}) {
    WindowQuality w;
    w.firstSequence = first;
    w.frames = first == 6000 ? 200 : 500;
    w.p50Us = 30'000, w.p95Us = 42'000;
    w.loss.lost = first == 5500 ? 150 : 0;
    w.score.mos = first == 5500 ? 1.8 : 4.3;
    voice.windows.push_back(w);
  }
  voice.interruptions = {{0, 5600, 150, 1}};  // 12 to 15 seconds into the cycle
  VoiceWorker worker(fleet);
  {
    PhoneWindow window(fleet, worker, nullptr, "wendy", "SNW1");
    worker.WaitIdle();
    window.Refresh();  // draws the chart the opening asked for
    EXPECT_DOUBLE_EQ(window.Live().bucketSeconds, 10);
    QList<QPointF> band = SeriesPoints(&window, "lossChart", "interruptions");
    ASSERT_EQ(band.size(), 4);
    EXPECT_NEAR(band[1].x(), 12, 0.01);
    EXPECT_NEAR(band[2].x(), 15, 0.01);
    QList<QPointF> lost = SeriesPoints(&window, "lossChart", "lost");
    ASSERT_EQ(lost.size(), 4);  // one bar: the second window's
    EXPECT_NEAR(lost[1].x(), 10, 0.01);
    EXPECT_NEAR(lost[1].y(), 150, 0.01);
    QList<QPointF> mos = SeriesPoints(&window, "lossChart", "windowMos");
    ASSERT_EQ(mos.size(), 6);
    EXPECT_NEAR(mos[5].x(), 24, 0.01);  // the short last window ends where its frames do
    EXPECT_EQ(SeriesPoints(&window, "rttChart", "p95").size(), 3);
    EXPECT_TRUE(window.findChild<QChartView*>("rttChart")->chart()->title().contains("10 seconds"));
    // No history file: the History tab says so instead of charting no time at all.
    EXPECT_TRUE(window.findChild<QChartView*>("historyRttChart")->chart()->axes().isEmpty());
    auto* empty = window.findChild<QLabel*>("historyEmpty");
    ASSERT_NE(empty, nullptr);
    EXPECT_TRUE(empty->text().startsWith("No history yet for this phone."));
  }
  worker.Stop();
}

}  // namespace
}  // namespace pathmon::testing
