// SPDX-License-Identifier: Apache-2.0
#include "frontend/SiteVerdict.h"

#include <fmt/format.h>

#include <algorithm>
#include <tuple>

#include "frontend/SharedInterruptionText.h"

namespace pathmon {

namespace {

// Lower is worse: not usable, incomplete, usable; then red, amber, green.
std::tuple<int, int> Rank(const Verdict& v) {
  const int outcome = v.outcome == Outcome::kUnusable ? 0 : v.outcome == Outcome::kUsable ? 2 : 1;
  return {outcome, static_cast<int>(Band::kRed) - static_cast<int>(v.band)};
}

SiteVerdict& SiteNamed(std::vector<SiteVerdict>& sites, const std::string& name) {
  for (SiteVerdict& site : sites) {
    if (site.site == name) return site;
  }
  sites.emplace_back().site = name;
  return sites.back();
}

// "both phones at 10.1.2.0/24 lost frames together at 20:47:42 for 3.0 s (and 2 more times):
// that site's link", of the first of them
std::string OwnInterruptions(const std::vector<const SharedInterruption*>& own) {
  const SharedInterruption& first = *own.front();
  std::string text = fmt::format("{} lost frames together at {} for {:.1f} s",
                                 SharedInterruptionWho(first), SharedInterruptionTime(first),
                                 SharedInterruptionSeconds(first));
  if (own.size() > 1) {
    text += fmt::format(" (and {} more {})", own.size() - 1, own.size() == 2 ? "time" : "times");
  }
  return text + ": " + SharedInterruptionWhere(first);
}

}  // namespace

bool Tested(Outcome outcome) {
  return outcome != Outcome::kNotTested && outcome != Outcome::kStartFailed;
}

std::vector<SiteVerdict> JudgeSites(const std::vector<SitePhone>& phones,
                                    const std::vector<SharedInterruption>& shared) {
  std::vector<SiteVerdict> sites;
  std::vector<const SitePhone*> worst;  // by site, as sites
  std::vector<int32_t> notUsable;         // by site: tested phones judged not usable
  for (const SitePhone& phone : phones) {
    SiteVerdict& site = SiteNamed(sites, phone.site);
    worst.resize(sites.size(), nullptr);
    notUsable.resize(sites.size(), 0);
    const std::size_t at = static_cast<std::size_t>(&site - sites.data());
    ++site.phones;
    if (!Tested(phone.verdict.outcome)) continue;
    ++site.tested;
    site.usable += phone.verdict.outcome == Outcome::kUsable ? 1 : 0;
    notUsable[at] += phone.verdict.outcome == Outcome::kUnusable ? 1 : 0;
    if (worst[at] == nullptr || Rank(phone.verdict) < Rank(worst[at]->verdict)) {
      worst[at] = &phone;
    }
  }

  for (std::size_t i = 0; i < sites.size(); ++i) {
    SiteVerdict& site = sites[i];
    std::vector<const SharedInterruption*> own;
    for (std::size_t k = 0; k < shared.size(); ++k) {
      const auto& its = shared[k].sites;
      if (std::any_of(its.begin(), its.end(),
                      [&](const SharedInterruptionSite& s) { return s.site == site.site; })) {
        site.interruptions.push_back(k);
      }
      if (shared[k].Site() == site.site) own.push_back(&shared[k]);
    }
    std::vector<std::string> why;
    if (worst[i] == nullptr) {
      why.push_back("no phone tested");
    } else {
      site.worst = worst[i]->serial;
      // Not usable and incomplete (ended early, or no result) are told apart.
      const int32_t bad = site.tested - site.usable;
      const int32_t unusable = notUsable[i];
      if (bad == 1) {
        why.push_back(worst[i]->serial + " is " + worst[i]->verdict.Summary());
      } else if (bad > 1) {
        std::string counts =
            unusable > 0 ? fmt::format("{} of {} tested phones not usable", unusable, site.tested)
                         : fmt::format("{} of {} tested phones", bad, site.tested);
        if (bad > unusable) {
          counts += fmt::format("{}{} incomplete", unusable > 0 ? ", " : " ", bad - unusable);
        }
        why.push_back(fmt::format("{}; the worst, {}, is {}", counts, worst[i]->serial,
                                  worst[i]->verdict.Summary()));
      }
    }
    if (!own.empty()) why.push_back(OwnInterruptions(own));
    site.fit = why.empty();
    if (site.fit) {
      site.reason = "every tested phone usable";
      if (worst[i]->verdict.band == Band::kAmber) {
        site.reason += fmt::format("; the worst, {}, is {}", worst[i]->serial,
                                   worst[i]->verdict.Summary());
      }
    } else {
      for (const std::string& text : why) site.reason += (site.reason.empty() ? "" : "; ") + text;
    }
  }
  return sites;
}

}  // namespace pathmon
