// SPDX-License-Identifier: Apache-2.0
#include "app/PathmonApp.h"

#include <QDesktopServices>
#include <QFileInfo>
#include <QUrl>

#include <memory>

#include "app/CommunityDialog.h"
#include "engine/Engine.h"
#include "frontend/EngineBackend.h"
#include "frontend/InstanceGuard.h"
#include "frontend/Messages.h"
#include "ui/MainDialog.h"
#include "ui/MessageBox.h"

namespace pathmon {

namespace {

// Hands a fetched log to the desktop's viewer and returns at once.
class DesktopFileOpener final : public FileOpener {
 public:
  void Open(const std::string& path) override {
    QDesktopServices::openUrl(
        QUrl::fromLocalFile(QFileInfo(QString::fromStdString(path)).absoluteFilePath()));
  }
};

}  // namespace

PathmonApp::PathmonApp(Engine& engine, std::string lockPath, FileOpener* opener)
    : engine_(engine), lockPath_(std::move(lockPath)), opener_(opener) {}

int PathmonApp::Run() {
  engine_.InitPhoneList();
  // Sockets need no start-up here.

  InstanceGuard guard;
  if (guard.Acquire(lockPath_.empty() ? InstanceGuard::DefaultPath() : lockPath_) ==
      InstanceGuard::Result::kAlreadyRunning) {
    ShowWarning(nullptr, QString::fromUtf8(kMsgAlreadyRunning));
    return 1;
  }

  {
    CommunityDialog community(engine_.SessionSettings(),
                              [this](const char* text) { engine_.Phones().SetCommunity(text); });
    if (community.exec() != kResultOk) {
      return 0;  // the test socket is never opened
    }
  }

  engine_.EnableHistory("");
  engine_.SocketStart();  // the main window opens even without a socket
  DesktopFileOpener desktop;
  engine_.SetFileOpener(opener_ != nullptr ? opener_ : &desktop);
  {
    EngineBackend backend(engine_);
    MainDialog main(backend, backend, engine_.SessionSettings());
    main.exec();
  }
  engine_.SetFileOpener(nullptr);
  engine_.SocketStop();
  guard.Release();
  return 0;
}

}  // namespace pathmon
