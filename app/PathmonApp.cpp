#include "app/PathmonApp.h"

#include <QDesktopServices>
#include <QFileInfo>
#include <QUrl>

#include "app/CommunityDialog.h"
#include "app/InstanceGuard.h"
#include "app/Settings.h"
#include "discovery/AddPhonesPresenter.h"
#include "discovery/PhoneListMgr.h"
#include "transport/PATHMONSocket.h"
#include "transport/PhoneLog.h"
#include "transport/SnmpAccess.h"
#include "ui/MainDialog.h"
#include "ui/MessageBox.h"
#include "ui/Messages.h"

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

PathmonApp::PathmonApp(std::string lockPath, FileOpener* opener)
    : lockPath_(std::move(lockPath)), opener_(opener) {}

int PathmonApp::Run() {
  InitSnmpLibrary();
  InitPhoneList();
  // Sockets need no start-up here.

  InstanceGuard guard;
  if (guard.Acquire(lockPath_.empty() ? InstanceGuard::DefaultPath() : lockPath_) ==
      InstanceGuard::Result::kAlreadyRunning) {
    ShowWarning(nullptr, QString::fromUtf8(kMsgAlreadyRunning));
    return 1;
  }

  {
    CommunityDialog community(Settings(), [](const char* text) { SetCommunity(text); });
    if (community.exec() != kResultOk) {
      return 0;  // the test socket is never opened
    }
  }

  SocketStart();  // the main window opens even without a socket
  DesktopFileOpener desktop;
  SetFileOpener(opener_ != nullptr ? opener_ : &desktop);
  {
    MainDialog main(ProgramBackend(), ProgramDiscovery(), Settings());
    main.exec();
  }
  SetFileOpener(nullptr);
  SocketStop();
  guard.Release();
  return 0;
}

}  // namespace pathmon
