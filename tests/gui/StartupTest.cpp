// SPDX-License-Identifier: Apache-2.0
// Start-up of the whole program: the single-instance lock, a refused OK in the real
// community dialog, and Cancel ending the program before the test socket opens.

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "frontend/InstanceGuard.h"
#include "frontend/Messages.h"
#include "gui/GuiFixture.h"

namespace pathmon::testing {
namespace {

class StartupTest : public GuiSessionTest {};

TEST_F(StartupTest, ASecondCopyIsRefusedAndCancelEndsTheProgramWithTheLockFreed) {
  // Another copy holds the lock: this one says so and ends before any dialog.
  {
    InstanceGuard other;
    ASSERT_EQ(other.Acquire(LockPath()), InstanceGuard::Result::kAcquired);
    GuiScript script;
    bool dialogSeen = false;
    script.Then("no dialog opens", [&] {
      dialogSeen = dialogSeen || QApplication::activeModalWidget() != nullptr;
      return false;
    }, 600000);
    EXPECT_EQ(RunProgram(script), 1);
    EXPECT_FALSE(dialogSeen);
    EXPECT_EQ(messages, std::vector<std::string>{kMsgAlreadyRunning});
  }
  messages.clear();

  // The lock is free again: the program starts. A refused OK keeps the dialog open with the
  // duration selected; Cancel then ends the program and stores nothing.
  GuiScript script;
  QWidget* dialog = nullptr;
  script.Then("the community dialog opens; OK with a bad duration", [&] {
    dialog = Modal("CommunityDialog");
    if (dialog == nullptr) return false;
    EXPECT_EQ(dialog->focusWidget(), dialog->findChild<QPushButton*>("ok"));
    dialog->findChild<QLineEdit*>("community")->setText("lab");
    dialog->findChild<QLineEdit*>("duration")->setText(" 2.5 ");
    QueueClick(dialog, "ok");
    return true;
  });
  script.Then("the message, then the duration selected for correction", [&] {
    if (messages.empty()) return false;
    EXPECT_EQ(messages, std::vector<std::string>{kMsgEnterInteger});
    auto* duration = dialog->findChild<QLineEdit*>("duration");
    EXPECT_EQ(Modal("CommunityDialog"), dialog);
    EXPECT_EQ(duration->selectedText(), " 2.5 ");
    // While a copy runs, even in its first dialog, no other copy may start.
    InstanceGuard other;
    EXPECT_EQ(other.Acquire(LockPath()), InstanceGuard::Result::kAlreadyRunning);
    QueueClick(dialog, "cancel");
    return true;
  });
  EXPECT_EQ(RunProgram(script), 0);
  EXPECT_TRUE(script.Finished());
  EXPECT_EQ(engine.SessionSettings().durationMinutes, 5);
  EXPECT_EQ(engine.SessionSettings().maxConcurrentTests, 10);
  EXPECT_STREQ(engine.Phones().GetCommunity(), "orchid");

  InstanceGuard next;
  EXPECT_EQ(next.Acquire(LockPath()), InstanceGuard::Result::kAcquired);
}

}  // namespace
}  // namespace pathmon::testing
