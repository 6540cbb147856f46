#include <QApplication>

#include "app/PathmonApp.h"
#include "ui/AppIcon.h"

int main(int argc, char* argv[]) {
  QApplication application(argc, argv);
  QApplication::setApplicationName(QStringLiteral("pathmon"));
  QApplication::setApplicationVersion(QStringLiteral("2.3.248.0"));
  QApplication::setWindowIcon(pathmon::AppIcon());
  return pathmon::PathmonApp().Run();
}
