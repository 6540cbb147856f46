// SPDX-License-Identifier: Apache-2.0
// The whole program against three simulated phones on loopback: the community dialog, a
// scan, a test started and stopped with its history line, a phone's log, and Close stopping
// what still runs.

#include <QAction>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QItemSelectionModel>
#include <QTreeView>

#include "discovery/PhoneListMgr.h"
#include "gui/GuiFixture.h"
#include "looptest/SessionRegistry.h"
#include "support/SimProcess.h"
#include "frontend/Messages.h"
#include "frontend/FakeFleet.h"
#include "frontend/PhoneTable.h"
#include "ui/MainDialog.h"

namespace pathmon::testing {
namespace {

class SessionTest : public GuiSessionTest {};

TEST_F(SessionTest, ScanStartStopLogAndClose) {
  SimProcess sim({"--phone", "127.40.0.1 serial=SN1 user=alice",
                  "--phone", "127.40.0.2 serial=SN2 user=CORP\\\\bob",
                  "--phone", "127.40.0.3 serial=SN3 user=carol"});
  ASSERT_TRUE(sim.Ok());

  GuiScript script;
  QWidget* main = nullptr;
  QTreeView* list = nullptr;

  script.Then("the community dialog opens with its defaults", [&] {
    QWidget* dialog = Modal("CommunityDialog");
    if (dialog == nullptr) return false;
    EXPECT_EQ(dialog->windowTitle(), kAppTitle);
    EXPECT_EQ(dialog->findChild<QLineEdit*>("community")->text(), "orchid");
    EXPECT_EQ(dialog->findChild<QLineEdit*>("community")->maxLength(), 255);
    EXPECT_EQ(dialog->findChild<QLineEdit*>("duration")->text(), "5");
    EXPECT_EQ(dialog->findChild<QLabel*>("help")->text(), kCommunityHelp);
    QueueClick(dialog, "ok");
    return true;
  });
  script.Then("the main window opens empty; Add", [&] {
    main = Modal("MainDialog");
    if (main == nullptr) return false;
    list = main->findChild<QTreeView*>("phoneList");
    EXPECT_EQ(RowCount(list), 0);
    EXPECT_EQ(list->model()->columnCount(), kTableColumnCount);
    EXPECT_EQ(list->model()->headerData(6, Qt::Horizontal).toString(), "INTERRUPTIONS");
    QueueClick(main, "add");
    return true;
  });
  script.Then("the add-phones dialog scans a range of three phones", [&] {
    QWidget* dialog = Modal("AddPhonesDialog");
    if (dialog == nullptr) return false;
    dialog->findChild<QLineEdit*>("startAddress")->setText("127.40.0.1");
    dialog->findChild<QLineEdit*>("endAddress")->setText("127.40.0.3");
    QueueClick(dialog, "start");
    return true;
  });
  script.Then("three rows in registry order", [&] {
    if (Modal("MainDialog") == nullptr || RowCount(list) == 0) return false;
    std::vector<std::string> registry;
    engine.Tests().ForEach([&](int, LoopTest& t) { registry.push_back(t.SerialNumber()); });
    std::vector<std::string> rows;
    for (int i = 0; i < RowCount(list); ++i) {
      rows.push_back(Cell(list, i, 1).toStdString());
      EXPECT_EQ(Cell(list, i, 2), "Stopped");
      EXPECT_FALSE(list->selectionModel()->hasSelection());
    }
    EXPECT_EQ(rows, registry);
    EXPECT_EQ(rows.size(), 3u);
    EXPECT_EQ(Cell(list, RowOfSerial(list, "SN2"), 0), "CORP\\bob");
    SelectSerial(list, "SN1");
    QueueClick(main, "start");
    return true;
  });
  script.Then("the selected phone's test runs", [&] {
    return Status(list, "SN1") == "Running";
  }, 20000);
  script.Then("Stop", [&] {
    EXPECT_EQ(Status(list, "SN2"), "Stopped");
    QueueClick(main, "stop");
    return true;
  });
  script.Then("the stopped test shows Stopped and its history line", [&] {
    if (Status(list, "SN1") != "Stopped") return false;
    std::vector<int> sent = HistorySent("alice_SN1.txt");
    EXPECT_EQ(sent.size(), 1u);
    if (!sent.empty()) {
      EXPECT_GT(sent[0], 0);
    }
    SelectSerial(list, "SN2");
    QueueClick(main, "getLog");
    return true;
  }, 20000);
  script.Then("Get Log writes the log file and has it opened", [&] {
    if (opener.paths.empty()) return false;
    EXPECT_EQ(opener.paths, std::vector<std::string>{"CORP_bob_SN2_log.txt"});
    std::string log = ReadFile("CORP_bob_SN2_log.txt");
    EXPECT_EQ(log.rfind("001 ", 0), 0u) << log;
    EXPECT_NE(log.find("\n015 "), std::string::npos) << log;  // 12 rows and 3 rows
    SelectSerial(list, "SN3");
    QueueClick(main, "start");
    return true;
  });
  script.Then("a second test runs", [&] { return Status(list, "SN3") == "Running"; }, 20000);
  script.Then("the About box is on F1 and the context menu", [&] {
    auto* about = main->findChild<QAction*>("about");
    EXPECT_EQ(about->text(), kAboutMenuText);
    EXPECT_EQ(about->shortcut(), QKeySequence(Qt::Key_F1));
    EXPECT_TRUE(main->actions().contains(about));
    EXPECT_EQ(main->contextMenuPolicy(), Qt::ActionsContextMenu);
    QMetaObject::invokeMethod(about, "trigger", Qt::QueuedConnection);
    return true;
  });
  script.Then("About shows its version line; OK", [&] {
    QWidget* box = Modal("AboutDialog");
    if (box == nullptr) return false;
    EXPECT_EQ(box->windowTitle(), kAboutTitle);
    bool versionShown = false;
    for (QLabel* label : box->findChildren<QLabel*>()) {
      versionShown = versionShown || label->text() == kAboutVersionLine;
    }
    EXPECT_TRUE(versionShown);
    QueueClick(box, "ok");
    return true;
  });
  script.Then("Close", [&] {
    if (Modal("MainDialog") == nullptr) return false;
    QueueClick(main, "close");
    return true;
  });

  EXPECT_EQ(RunProgram(script), 0);
  EXPECT_TRUE(script.Finished());
  EXPECT_TRUE(messages.empty()) << messages.front();

  // Close stopped the running test first: not running, and its final line was written.
  LoopTest* third = engine.Tests().FindLoopTest("SN3");
  ASSERT_NE(third, nullptr);
  EXPECT_FALSE(third->IsRunning());
  EXPECT_EQ(HistorySent("carol_SN3.txt").size(), 1u);
  EXPECT_EQ(HistorySent("alice_SN1.txt").size(), 1u);

  auto counters = sim.Stop();
  EXPECT_GT(counters["127.40.0.1"].framesEchoed, 0);
  EXPECT_EQ(counters["127.40.0.2"].framesReceived, 0);
}

}  // namespace
}  // namespace pathmon::testing

namespace pathmon::testing {
namespace {

// The window's size and column widths come back in the next run (from the test's own
// settings directory), and Copy takes the selected rows in row order with the headers.
TEST_F(SessionTest, TheWindowIsRememberedAndCopiesTheSelectedRows) {
  FakeClock clock;
  FakeFleet fleet(clock);
  for (int i = 0; i < 3; ++i) {
    fleet.Add("10.0.0." + std::to_string(i + 1), "SN" + std::to_string(i), true,
              "user" + std::to_string(i));
  }
  fleet.StartDiscovery("10.0.0.1", "10.0.0.3");
  fleet.CreateLoopTestsForPhones();
  ProgramSettings settings;
  {
    MainDialog first(fleet, fleet, settings);
    first.Presenter().FillPhoneList();
    QItemSelectionModel* selection = first.List()->selectionModel();
    for (int row : {2, 0}) {
      selection->select(first.Model()->index(row, 0),
                        QItemSelectionModel::Select | QItemSelectionModel::Rows);
    }
    QStringList lines = first.SelectedRowsText().split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 3);
    EXPECT_TRUE(lines[0].startsWith("USER\tSN\tPATHMON\tSENT")) << lines[0].toStdString();
    EXPECT_TRUE(lines[1].startsWith("user0\tSN0\t")) << lines[1].toStdString();
    EXPECT_TRUE(lines[2].startsWith("user2\tSN2\t")) << lines[2].toStdString();
    first.resize(900, 500);
    first.List()->setColumnWidth(3, 123);
    first.accept();  // every close path stores the window
  }
  MainDialog second(fleet, fleet, settings);
  EXPECT_EQ(second.List()->columnWidth(3), 123);
  EXPECT_EQ(second.size(), QSize(900, 500));
}

// On a screen 1600 pixels wide (the test's), the window at its first opening shows every
// column whole beside the commands and says the units under the list; a selected row keeps
// its band in the MOS cell.
TEST_F(SessionTest, EveryColumnShowsAt1600PixelsAndASelectedRowKeepsItsBand) {
  FakeClock clock;
  FakeFleet fleet(clock);
  MainDialog dialog(fleet, fleet, ProgramSettings{});
  dialog.show();
  QApplication::processEvents();
  QTreeView* list = dialog.List();
  EXPECT_LE(dialog.frameGeometry().width(), 1600);
  EXPECT_LE(list->header()->length(), list->viewport()->width());
  EXPECT_GT(list->columnWidth(kBandColumn), list->fontMetrics().horizontalAdvance("0.00 unusable"));
  auto* units = dialog.findChild<QLabel*>("units");
  ASSERT_NE(units, nullptr);
  EXPECT_TRUE(units->text().contains("ms: AVG RTT, RTT, MAX RTT")) << units->text().toStdString();
  dialog.Model()->Insert(0, "", nullptr);
  dialog.Model()->SetBand(0, Band::kRed, "");
  list->selectAll();
  const QImage shot = list->viewport()->grab().toImage();
  const QModelIndex mos = dialog.Model()->index(0, kBandColumn);
  EXPECT_EQ(shot.pixel(list->visualRect(mos).center()),
            mos.data(Qt::BackgroundRole).value<QColor>().rgb());
}

}  // namespace
}  // namespace pathmon::testing
