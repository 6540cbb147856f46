// SPDX-License-Identifier: Apache-2.0
#pragma once
// The run's report for scripts (--json): the run's data and its JSON rendering live in the
// front ends' shared logic, frontend/RunReport.h, which the desktop program uses too.

#include "frontend/RunReport.h"
