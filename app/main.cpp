// SPDX-License-Identifier: Apache-2.0
#include <signal.h>

#include <QApplication>

#include "Version.h"
#include "app/PathmonApp.h"
#include "engine/Engine.h"
#include "ui/AppIcon.h"

int main(int argc, char* argv[]) {
  // A file-size limit (ulimit -f) fails the write, which is reported, instead of killing the
  // program with a cut history line.
  ::signal(SIGXFSZ, SIG_IGN);
  QApplication application(argc, argv);
  // Also the place of the window's remembered settings: ~/.config/pathmon/pathmon.conf.
  QApplication::setOrganizationName(QStringLiteral("pathmon"));
  QApplication::setApplicationName(QStringLiteral("pathmon"));
  QApplication::setApplicationVersion(QString::fromUtf8(pathmon::kVersion));
  QApplication::setWindowIcon(pathmon::AppIcon());
  pathmon::Engine engine;
  return pathmon::PathmonApp(engine).Run();
}
