// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QIcon>

namespace pathmon {

// The application icon: a phone handset under signal arcs, drawn from :/pathmon/pathmon.svg.
QIcon AppIcon();

}  // namespace pathmon
