// SPDX-License-Identifier: Apache-2.0
// A site's verdict from its phones' verdicts and the run's shared interruptions.

#include <gtest/gtest.h>

#include "frontend/SharedInterruptionText.h"
#include "frontend/SiteVerdict.h"

namespace pathmon {
namespace {

Verdict V(Outcome outcome, Band band = Band::kGreen, std::string reason = "") {
  Verdict v;
  v.outcome = outcome;
  v.band = band;
  v.reason = std::move(reason);
  return v;
}

SharedInterruption Shared(InterruptionScope scope, std::vector<std::string> sites) {
  SharedInterruption s{1'765'000'007'000'000'000, 1'765'000'010'000'000'000, scope, {}, {}, 300};
  for (const std::string& site : sites) s.sites.push_back({site, 2, 2});
  s.phones.push_back({"A1", sites.front(), {}, 150});
  s.phones.push_back({"A2", sites.front(), {}, 150});
  return s;
}

TEST(SiteVerdict, FitWhenEveryTestedPhoneIsUsableAndNoInterruptionIsTheSitesOwn) {
  using enum Outcome;
  const std::string amber = "usable, but a 10-second window scored 2.90 (bad)";
  const std::string own = "both phones at a lost frames together at " +
                          SharedInterruptionTime(Shared(InterruptionScope::kSite, {"a"})) +
                          " for 3.0 s: that site's link";
  const struct {
    std::vector<SitePhone> phones;
    std::vector<SharedInterruption> shared;
    SiteVerdict expected;  // of the first site
  } cases[] = {
      {{{"A1", "a", V(kUsable)}, {"A2", "a", V(kUsable, Band::kAmber, "a 10-second window "
                                                                        "scored 2.90 (bad)")}},
       {Shared(InterruptionScope::kEverywhere, {"b", "a"})},
       {"a", 2, 2, 2, true, "A2", "every tested phone usable; the worst, A2, is " + amber, {0}}},
      // A phone that could not start counts as found, not as tested.
      {{{"A1", "a", V(kStartFailed, Band::kNone)}, {"A2", "a", V(kUsable)}}, {},
       {"a", 2, 1, 1, true, "A2", "every tested phone usable", {}}},
      {{{"A1", "a", V(kStartFailed, Band::kNone)}, {"B1", "b", V(kUsable)}}, {},
       {"a", 1, 0, 0, false, "", "no phone tested", {}}},
      {{{"A1", "a", V(kUsable)}, {"A2", "a", V(kUsable)}, {"B1", "b", V(kUsable)}},
       {Shared(InterruptionScope::kPhone, {"b"}), Shared(InterruptionScope::kSite, {"a"})},
       {"a", 2, 2, 2, false, "A1", own, {1}}},
      // The worst: not usable before incomplete before usable, red before amber.
      {{{"A1", "a", V(kIncomplete, Band::kAmber, "stopped")},
        {"A2", "a", V(kUnusable, Band::kRed, "12 interruptions, over 10")},
        {"A3", "a", V(kUsable)}},
       {Shared(InterruptionScope::kSite, {"a"}), Shared(InterruptionScope::kSite, {"a"})},
       {"a", 3, 3, 1, false, "A2",
        "1 of 3 tested phones not usable, 1 incomplete; the worst, A2, is not usable: 12 interruptions, over "
        "10; " + own.substr(0, own.find(": that")) + " (and 1 more time): that site's link",
        {0, 1}}},
  };
  for (const auto& c : cases) {
    const SiteVerdict got = JudgeSites(c.phones, c.shared).front();
    const SiteVerdict& e = c.expected;
    SCOPED_TRACE(e.reason);
    EXPECT_EQ(got.site, e.site);
    EXPECT_EQ(std::vector({got.phones, got.tested, got.usable}),
              std::vector({e.phones, e.tested, e.usable}));
    EXPECT_EQ(got.fit, e.fit);
    EXPECT_EQ(got.worst, e.worst);
    EXPECT_EQ(got.reason, e.reason);
    EXPECT_EQ(got.interruptions, e.interruptions);
  }
}

}  // namespace
}  // namespace pathmon
