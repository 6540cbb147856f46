// SPDX-License-Identifier: Apache-2.0
#pragma once
// Whether a site is fit for voice, judged in one place from the verdicts of its phones
// (frontend/Verdict.h) and the run's shared interruptions: every view of the sites (the
// summary's lines, the JSON report's "sites", the site report's Sites table) renders this
// value. A site is fit for voice when at least one of its phones was tested, every tested
// phone is usable, and none of the run's shared interruptions has scope "site" at it: its
// phones lost frames together while phones elsewhere ran on, so its own link is at fault even
// when each phone alone passed.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/InterruptionCorrelator.h"
#include "frontend/Verdict.h"

namespace pathmon {

// A phone found in the run, as the sites' verdict needs it.
struct SitePhone {
  std::string serial;
  std::string site;
  Verdict verdict;
};

struct SiteVerdict {
  std::string site;
  int32_t phones = 0;  // found
  int32_t tested = 0;  // its test ran: usable, not usable or incomplete
  int32_t usable = 0;
  bool fit = false;
  std::string worst;  // the serial number of its worst tested phone; empty when none was tested
  // Why it is not fit ("no phone tested"; "WB1000CC is not usable: 12 interruptions, over 10";
  // "both phones at 10.1.2.0/24 lost frames together at 20:47:42 for 3.0 s: that site's link"),
  // or, when fit, "every tested phone usable" and what keeps its worst phone from green.
  std::string reason;
  // Indexes into the run's shared interruptions of those its phones lost frames in.
  std::vector<std::size_t> interruptions;
};

// Tested: usable, not usable, incomplete (no result too).
bool Tested(Outcome outcome);

// One verdict per site, in the order the sites' first phones come in phones.
std::vector<SiteVerdict> JudgeSites(const std::vector<SitePhone>& phones,
                                    const std::vector<SharedInterruption>& shared);

}  // namespace pathmon
