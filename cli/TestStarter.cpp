// SPDX-License-Identifier: Apache-2.0
#include "cli/TestStarter.h"

#include <arpa/inet.h>
#include <signal.h>
#include <strings.h>

#include <algorithm>
#include <chrono>

#include "cli/EventStream.h"
#include "cli/Metrics.h"
#include "cli/ResultTable.h"
#include "frontend/SharedInterruptionText.h"

namespace pathmon::cli {

bool InRange(const char* address, const AddressRange& range) {
  const uint32_t a = ntohl(::inet_addr(address));
  const uint32_t first = ntohl(::inet_addr(range.first.c_str()));
  const uint32_t last = ntohl(::inet_addr(range.last.c_str()));
  return a >= first && a <= last;
}

std::string DuplicateSerialText(const char* serial, const char* otherAddress) {
  return std::string("same serial number \"") + serial + "\" as the phone at " + otherAddress;
}

TestIdentity IdentityOf(const PhoneEntry& entry) {
  FleetPhone phone;
  phone.serial = entry.serialNumber;
  phone.SetEntry(entry);
  return phone.Identity();
}

const Site* SiteOfPhone(const std::vector<Site>& sites, const PhoneEntry& entry,
                        bool anySerial) {
  for (const Site& site : sites) {
    const bool covered = std::any_of(site.ranges.begin(), site.ranges.end(),
                                     [&](const AddressRange& r) {
                                       return InRange(entry.scannedAddress, r);
                                     });
    const bool chosen = anySerial || site.serials.empty() ||
                        std::any_of(site.serials.begin(), site.serials.end(),
                                    [&](const std::string& serial) {
                                      return strcasecmp(serial.c_str(), entry.serialNumber) == 0;
                                    });
    if (covered && chosen) return &site;
  }
  return nullptr;
}

int32_t ConcurrentLimit(const std::vector<Site>& sites) {
  int32_t limit = kInitialMaxConcurrentTests;
  for (const Site& site : sites) limit = std::min(limit, site.maxConcurrentTests);
  return limit;
}

void TestStarter::Launch(TestedPhone& phone, int32_t durationSeconds) {
  phone.start = std::async(std::launch::async, [this, fleet = FleetPhone(phone), durationSeconds] {
    return StartPhoneTest(backend_, fleet, durationSeconds, [this] { return cancelled_.load(); });
  });
}

std::optional<StartResult> TestStarter::Collect(TestedPhone& phone, bool block) {
  if (!phone.start.valid()) return std::nullopt;
  if (!block && phone.start.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
    return std::nullopt;
  }
  return phone.start.get();
}

void TestStarter::StopAll() {
  std::vector<std::future<int>> stops;
  for (const FleetPhone& phone : FleetSnapshot(backend_)) {
    if (!backend_.Snapshot(*phone.test).running) continue;
    stops.push_back(std::async(std::launch::async,
                               [this, test = phone.test] { return backend_.StopLoopTest(test); }));
  }
  for (std::future<int>& stop : stops) stop.get();
}

int ExitStatus(const std::vector<Outcome>& outcomes) {
  bool tested = false;
  bool bad = false;
  for (Outcome outcome : outcomes) {
    switch (outcome) {
      case Outcome::kUsable: tested = true; break;
      case Outcome::kUnusable:
      case Outcome::kIncomplete:
      case Outcome::kNoResult: tested = true; bad = true; break;
      case Outcome::kStartFailed: bad = true; break;
      case Outcome::kNotTested: break;
    }
  }
  if (!tested) return kExitNothingRun;
  return bad ? kExitUnusable : kExitUsable;
}

int InterruptedStatus(const CliEnvironment& env) {
  const int signal = env.signal ? env.signal() : 0;
  return kExitSignalBase + (signal > 0 ? signal : SIGINT);
}

void TellStartFailed(CliEnvironment& env, const TestIdentity& phone) {
  constexpr NotTested kCause = NotTested::kNoAnswer;
  if (env.events != nullptr) {
    env.events->NotTested(phone, NotTestedName(kCause), NotTestedText(kCause));
  }
  if (env.metrics != nullptr) env.metrics->StartFailed(phone, NotTestedName(kCause));
}

void SummariseSites(std::ostream& out, const std::vector<SiteVerdict>& sites,
                    const SharedInterruptions& shared, std::size_t limit, int tested) {
  if (!sites.empty()) out << "Sites:\n";
  for (const SiteVerdict& site : sites) {
    out << "  " << PrintableText(site.site.empty() ? "-" : site.site) << "  "
        << (site.fit ? "fit for voice" : "not fit for voice") << " (" << site.phones
        << (site.phones == 1 ? " phone, " : " phones, ") << site.tested << " tested, "
        << site.usable << " usable): " << PrintableText(site.reason) << '\n';
  }
  const std::vector<SharedInterruption> decided = shared.Decided();
  if (decided.empty()) {
    // With one phone tested there is nothing to compare with.
    if (tested > 1) out << "Interruptions seen together: none\n";
    return;
  }
  out << "Interruptions seen together:\n";
  const std::size_t from = decided.size() > limit ? decided.size() - limit : 0;
  if (const int64_t earlier = shared.Count() - static_cast<int64_t>(decided.size() - from);
      earlier > 0) {
    out << "  (" << earlier << " earlier ones are not listed)\n";
  }
  for (std::size_t i = from; i < decided.size(); ++i) {
    out << "  " << PrintableText(SharedInterruptionLine(decided[i])) << '\n';
  }
}

}  // namespace pathmon::cli
