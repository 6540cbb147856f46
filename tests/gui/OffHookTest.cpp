// SPDX-License-Identifier: Apache-2.0
// The whole program against phones that go off hook: a running test that the phone ends by
// itself, with its final history line, and a phone off hook from the start that refuses.

#include <QLineEdit>
#include <QTreeView>

#include "gui/GuiFixture.h"
#include "looptest/SessionRegistry.h"
#include "support/SimProcess.h"
#include "frontend/Messages.h"

namespace pathmon::testing {
namespace {

class OffHookTest : public GuiSessionTest {};

TEST_F(OffHookTest, APhoneGoingOffHookEndsItsTestAndAnOffHookPhoneRefuses) {
  SimProcess sim({"--phone", "127.40.1.1 serial=SN9 user=dave offhook-after=2",
                  "--phone", "127.40.1.2 serial=SN8 user=erin offhook"});
  ASSERT_TRUE(sim.Ok());

  GuiScript script;
  QWidget* main = nullptr;
  QTreeView* list = nullptr;

  script.Then("community dialog: OK", [&] {
    QWidget* dialog = Modal("CommunityDialog");
    if (dialog == nullptr) return false;
    // The sim's phones answer "orchid" only: keep it, and the five minutes it allows.
    QueueClick(dialog, "ok");
    return true;
  });
  script.Then("Add", [&] {
    main = Modal("MainDialog");
    if (main == nullptr) return false;
    list = main->findChild<QTreeView*>("phoneList");
    QueueClick(main, "add");
    return true;
  });
  script.Then("scan both phones", [&] {
    QWidget* dialog = Modal("AddPhonesDialog");
    if (dialog == nullptr) return false;
    dialog->findChild<QLineEdit*>("startAddress")->setText("127.40.1.1");
    dialog->findChild<QLineEdit*>("endAddress")->setText("127.40.1.2");
    QueueClick(dialog, "start");
    return true;
  });
  script.Then("start the phone that will go off hook", [&] {
    if (Modal("MainDialog") == nullptr || RowCount(list) < 2) return false;
    SelectSerial(list, "SN9");
    QueueClick(main, "start");
    return true;
  });
  script.Then("its test runs", [&] { return Status(list, "SN9") == "Running"; }, 20000);
  script.Then("it ends by itself and writes its final line", [&] {
    if (Status(list, "SN9") != "Stopped") return false;
    std::vector<int> sent = HistorySent("dave_SN9.txt");
    EXPECT_EQ(sent.size(), 1u);
    if (!sent.empty()) {
      EXPECT_GT(sent[0], 0);
    }
    EXPECT_FALSE(engine.Tests().FindLoopTest("SN9")->IsRunning());
    EXPECT_TRUE(messages.empty());
    SelectSerial(list, "SN8");
    QueueClick(main, "start");
    return true;
  }, 20000);
  script.Then("the off-hook phone's start fails with a message", [&] {
    if (messages.empty()) return false;
    EXPECT_EQ(messages, std::vector<std::string>{"Failed to start PATHMON for erin:SN8"});
    EXPECT_EQ(Status(list, "SN8"), "Stopped");
    QueueClick(main, "close");
    return true;
  }, 20000);

  EXPECT_EQ(RunProgram(script), 0);
  EXPECT_TRUE(script.Finished());
  EXPECT_EQ(HistorySent("dave_SN9.txt").size(), 1u);
  EXPECT_FALSE(std::filesystem::exists("erin_SN8.txt"));
}

}  // namespace
}  // namespace pathmon::testing
