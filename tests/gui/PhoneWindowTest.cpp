// A phone's window against a simulated phone with one outage: opened from its row, the live
// chart shows the outage as an interruption band and as a poor 10-second window.

#include <QAreaSeries>
#include <QChart>
#include <QChartView>
#include <QLineEdit>
#include <QLineSeries>
#include <QListWidget>

#include "gui/GuiFixture.h"
#include "support/SimProcess.h"
#include "ui/MainDialog.h"
#include "ui/PhoneWindow.h"

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
    if (live.interruptions.empty() || live.windows.empty()) return false;
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
    EXPECT_EQ(phone->findChild<QListWidget*>("interruptionList")->count(),
              static_cast<int>(live.interruptions.size()));
    QueueClick(main, "close");
    return true;
  }, 20000);

  EXPECT_EQ(RunProgram(script), 0);
  EXPECT_TRUE(script.Finished());
  EXPECT_TRUE(messages.empty()) << messages.front();
}

}  // namespace
}  // namespace pathmon::testing
