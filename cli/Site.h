// SPDX-License-Identifier: Apache-2.0
#pragma once
// A named group of phones tested with one community and one duration: the phones given on
// the command line, or one site of a sites file (see SitesFile.h).

#include <cstdint>
#include <string>
#include <vector>

namespace pathmon::cli {

// An inclusive range of dotted addresses, accepted by the add-phones dialog's rules.
struct AddressRange {
  std::string first;
  std::string last;
};

struct Site {
  std::string name;  // the "site" label of its metrics and events; may be empty
  std::string community;
  int32_t durationMinutes = 5;
  int32_t maxConcurrentTests = 10;  // the community's limit (2 for the default community)
  std::vector<AddressRange> ranges;
  std::vector<std::string> serials;  // empty: every phone found in the ranges
};

}  // namespace pathmon::cli
