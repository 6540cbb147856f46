// SPDX-License-Identifier: Apache-2.0
#pragma once
// The sites file: one probe covers many sites, each with its ranges, its community (from a
// file of its own) and its test duration, and optionally the serial numbers to test. TOML:
//
//   [[site]]
//   name = "lisbon"                          # the site label of metrics and events
//   ranges = ["10.20.0.1-10.20.0.254"]       # as --range: FIRST-LAST, A.B.C.D/NN or A
//   addresses = ["10.20.9.5"]                # single addresses (optional)
//   community-file = "lisbon.community"      # optional; relative to the sites file
//   duration = 5                             # minutes, optional
//   serials = ["FL0012345"]                  # optional: only these phones
//
// Every value goes through the checks and messages of the options it stands for.

#include <string>
#include <vector>

#include "cli/Site.h"

namespace pathmon::cli {

// Reads path into sites; defaults gives what a site leaves out (community, duration). Empty,
// or the first fault found as "--sites: FILE: site NAME: message".
std::string LoadSitesFile(const std::string& path, const Site& defaults, std::vector<Site>& sites);

}  // namespace pathmon::cli
