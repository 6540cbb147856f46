// SPDX-License-Identifier: Apache-2.0
#include "frontend/SharedInterruptionText.h"

#include <fmt/format.h>

#include <ctime>

#include "frontend/RunReport.h"

namespace pathmon {
namespace {

constexpr int64_t kNsPerSecond = 1'000'000'000;

std::string ClockText(int64_t wallNs) {
  const auto t = static_cast<std::time_t>(wallNs / kNsPerSecond);
  std::tm local{};
  char text[16] = "--:--:--";
  if (::localtime_r(&t, &local) != nullptr) std::strftime(text, sizeof text, "%H:%M:%S", &local);
  return text;
}

}  // namespace

std::string SharedInterruptionWho(const SharedInterruption& s) {
  const auto phones = s.phones.size();
  switch (s.scope) {
    case InterruptionScope::kEverywhere:
      return fmt::format("every running phone at {} sites", s.sites.size());
    case InterruptionScope::kSite: {
      const SharedInterruptionSite& site = s.sites.front();
      if (site.phonesLosing < site.phonesRunning) {
        return fmt::format("{} of {} phones at {}", site.phonesLosing, site.phonesRunning,
                           site.site);
      }
      return phones == 2 ? fmt::format("both phones at {}", site.site)
                         : fmt::format("all {} phones at {}", phones, site.site);
    }
    case InterruptionScope::kSites:
      return fmt::format("{} phones at {} sites", phones, s.sites.size());
    case InterruptionScope::kPhone:
      break;
  }
  return fmt::format("{} only", s.phones.front().serialNumber);
}

std::string SharedInterruptionWhere(const SharedInterruption& s) {
  switch (s.scope) {
    case InterruptionScope::kEverywhere: return "the probe's side or the head end";
    case InterruptionScope::kSite:
      return s.sites.front().phonesLosing < s.sites.front().phonesRunning
                 ? "a part of that site's network"
                 : "that site's link";
    case InterruptionScope::kSites: return "a part of the way those sites share";
    case InterruptionScope::kPhone: break;
  }
  return "that phone or its access line";
}

std::string SharedInterruptionSentence(const SharedInterruption& s) {
  return SharedInterruptionWho(s) + ": " + SharedInterruptionWhere(s);
}

std::string SharedInterruptionLine(const SharedInterruption& s) {
  return fmt::format("{}  {:.1f} s  {}", ClockText(s.startWallNs), SharedInterruptionSeconds(s),
                     SharedInterruptionSentence(s));
}

std::string SharedInterruptionTime(const SharedInterruption& s) {
  return ClockText(s.startWallNs);
}

double SharedInterruptionSeconds(const SharedInterruption& s) {
  return static_cast<double>(s.endWallNs - s.startWallNs) / kNsPerSecond;
}

std::string SharedInterruptionStatus(const SharedInterruption& s) {
  // Every running phone is where the fault lies whatever the count of sites.
  return ClockText(s.startWallNs) + ", " +
         (s.scope == InterruptionScope::kEverywhere ? "every running phone"
                                                    : SharedInterruptionWho(s));
}

const char* SharedScopeWords(InterruptionScope scope) {
  switch (scope) {
    case InterruptionScope::kPhone: return "this phone only";
    case InterruptionScope::kSite: return "its site";
    case InterruptionScope::kSites: return "several sites";
    case InterruptionScope::kEverywhere: return "every running phone";
  }
  return "this phone only";
}

OrderedJson SharedInterruptionJson(const SharedInterruption& s) {
  // Serial numbers and site names are bytes of no known encoding, as the phones' texts.
  OrderedJson sites = OrderedJson::array();
  for (const SharedInterruptionSite& site : s.sites) sites.push_back(Utf8OrLatin1(site.site));
  OrderedJson phones = OrderedJson::array();
  for (const SharedInterruptionPhone& phone : s.phones) {
    phones.push_back(Utf8OrLatin1(phone.serialNumber));
  }
  const bool oneSite = s.scope == InterruptionScope::kSite;
  return OrderedJson{{"start", IsoLocalTime(s.startWallNs / kNsPerSecond)},
                     {"end", IsoLocalTime(s.endWallNs / kNsPerSecond)},
                     {"scope", InterruptionScopeName(s.scope)},
                     {"site", oneSite ? OrderedJson(Utf8OrLatin1(s.Site())) : OrderedJson()},
                     {"sites", std::move(sites)},
                     {"phones", std::move(phones)},
                     {"lost", s.lost}};
}

}  // namespace pathmon
