// SPDX-License-Identifier: Apache-2.0
// A shared interruption in the front ends' words and in the reports' JSON.

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "frontend/SharedInterruptionText.h"

namespace pathmon {
namespace {

constexpr int64_t kT0 = 1'765'000'000;

SharedInterruption Shared(InterruptionScope scope, std::vector<SharedInterruptionSite> sites,
                          std::vector<std::string> serials) {
  SharedInterruption s{(kT0 + 7) * 1'000'000'000, (kT0 + 10) * 1'000'000'000, scope, {},
                       std::move(sites), 150};
  for (const std::string& serial : serials) s.phones.push_back({serial, "", {}, 50});
  return s;
}

TEST(SharedInterruptionText, SaysWhereTheFaultLiesAndWritesTheReportsObject) {
  using enum InterruptionScope;
  const std::vector<std::pair<SharedInterruption, std::string>> cases = {
      {Shared(kEverywhere, {{"s1", 2, 2}, {"s2", 2, 2}}, {"A", "B", "C", "D"}),
       "3.0 s  every running phone at 2 sites: the probe's side or the head end"},
      {Shared(kSite, {{"127.93.1.0/24", 2, 2}}, {"A", "B"}),
       "3.0 s  both phones at 127.93.1.0/24: that site's link"},
      {Shared(kSite, {{"s1", 2, 3}}, {"A", "B"}),
       "3.0 s  2 of 3 phones at s1: a part of that site's network"},
      {Shared(kSites, {{"s1", 1, 2}, {"s2", 2, 2}}, {"A", "C", "D"}),
       "3.0 s  3 phones at 2 sites: a part of the way those sites share"},
      {Shared(kPhone, {{"s1", 1, 2}}, {"WB1000CC"}),
       "3.0 s  WB1000CC only: that phone or its access line"},
  };
  for (const auto& [s, line] : cases) EXPECT_EQ(SharedInterruptionLine(s).substr(8), "  " + line);
  EXPECT_EQ(SharedInterruptionJson(cases[1].first).dump(), fmt::format(
      R"({{"start":"{}","end":"{}","scope":"site",)"
      R"("site":"127.93.1.0/24","sites":["127.93.1.0/24"],"phones":["A","B"],"lost":150}})",
      IsoLocalTime(kT0 + 7), IsoLocalTime(kT0 + 10)));
  EXPECT_TRUE(SharedInterruptionJson(cases[0].first)["site"].is_null());
}

}  // namespace
}  // namespace pathmon
