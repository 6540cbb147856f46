// SPDX-License-Identifier: Apache-2.0
#include "ui/AppIcon.h"

#include <QtGlobal>

// The resources live in a static library: nothing would pull their object file into the
// program unless it is referenced, which Q_INIT_RESOURCE does (outside any namespace).
static void InitPathmonResources() { Q_INIT_RESOURCE(pathmon); }

namespace pathmon {

// Not cached in a static: a QIcon must not outlive the application object and its plugins.
QIcon AppIcon() {
  static const bool initialised = (InitPathmonResources(), true);
  (void)initialised;
  return QIcon(QStringLiteral(":/pathmon/pathmon.svg"));
}

}  // namespace pathmon
