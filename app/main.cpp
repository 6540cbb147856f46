#include <signal.h>

#include <QApplication>

#include "app/PathmonApp.h"
#include "ui/AppIcon.h"

int main(int argc, char* argv[]) {
  // A file-size limit (ulimit -f) fails the write, which is reported, instead of killing the
  // program with a cut history line.
  ::signal(SIGXFSZ, SIG_IGN);
  QApplication application(argc, argv);
  QApplication::setApplicationName(QStringLiteral("pathmon"));
  QApplication::setApplicationVersion(QStringLiteral("2.3.248.0"));
  QApplication::setWindowIcon(pathmon::AppIcon());
  return pathmon::PathmonApp().Run();
}
