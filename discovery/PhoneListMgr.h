// SPDX-License-Identifier: Apache-2.0
#pragma once
// The module PhoneListMgr: the phone directory (discovery/PhoneDirectory.h) and the
// discovery scan (discovery/DiscoveryScan.h), whose trace lines carry the module's name.

#include "discovery/DiscoveryScan.h"
#include "discovery/PhoneDirectory.h"
