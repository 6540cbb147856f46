// SPDX-License-Identifier: Apache-2.0
#include "engine/InterruptionCorrelator.h"

#include <fmt/format.h>

#include <algorithm>
#include <set>

namespace pathmon {
namespace {

// The tests' events carry whole calendar seconds, and the wall times of their frames are
// anchored on them.
constexpr int64_t kWallResolutionNs = 1'000'000'000;

int64_t SecondsNs(int64_t seconds) { return seconds * 1'000'000'000; }

bool Near(int64_t startA, int64_t endA, int64_t startB, int64_t endB) {
  return startA <= endB + kSharedGapNs && startB <= endA + kSharedGapNs;
}

}  // namespace

const char* InterruptionScopeName(InterruptionScope scope) {
  switch (scope) {
    case InterruptionScope::kPhone: return "phone";
    case InterruptionScope::kSite: return "site";
    case InterruptionScope::kSites: return "sites";
    case InterruptionScope::kEverywhere: return "everywhere";
  }
  return "phone";
}

std::string SharedInterruption::Site() const {
  return scope == InterruptionScope::kSite && !sites.empty() ? sites.front().site : std::string();
}

std::string NetworkSite(const TestIdentity& phone) {
  // peerAddress is in network byte order: its first byte in memory is the address's first.
  const auto* b = reinterpret_cast<const uint8_t*>(&phone.peerAddress);
  return fmt::format("{}.{}.{}.0/24", b[0], b[1], b[2]);
}

InterruptionCorrelator::InterruptionCorrelator(Clock& clock, int32_t frameIntervalMs,
                                               SiteOf siteOf)
    : clock_(clock),
      intervalNs_(int64_t{frameIntervalMs} * 1'000'000),
      siteOf_(std::move(siteOf)) {}

void InterruptionCorrelator::AddObserver(std::shared_ptr<SharedInterruptionObserver> observer) {
  std::lock_guard lock(mutex_);
  observers_.push_back(std::move(observer));
}

void InterruptionCorrelator::OnStarted(const TestStarted& event) {
  std::string site = siteOf_(event.phone);
  std::unique_lock lock(mutex_);
  Phone& phone = PhoneOf(event.phone, std::move(site));
  phone.runs.push_back(Run{SecondsNs(event.wallSeconds)});
  phone.boundaryNs = SecondsNs(event.wallSeconds);
  DecideDue(false);
  Deliver(lock);
}

void InterruptionCorrelator::OnProgress(const TestProgress& /*event*/) { Poll(); }

void InterruptionCorrelator::OnInterruptionSpan(const InterruptionSpanClosed& event) {
  std::string site = siteOf_(event.phone);
  std::unique_lock lock(mutex_);
  PhoneOf(event.phone, site);
  // The groups due are decided first: a span that comes after a group's hold does not join it.
  DecideDue(false);
  const InterruptionSpan& s = event.span;
  Join(Span{event.phone.serialNumber, std::move(site), s, s.timeWallNs,
            s.lastTimeWallNs + intervalNs_},
       clock_.Now() + std::chrono::nanoseconds(kSharedHoldNs));
  Deliver(lock);
}

void InterruptionCorrelator::OnCycleResult(const CycleResult& event) {
  std::unique_lock lock(mutex_);
  if (auto it = phones_.find(event.phone.serialNumber); it != phones_.end()) {
    it->second.boundaryNs = SecondsNs(event.wallSeconds);
  }
  DecideDue(false);
  Deliver(lock);
}

void InterruptionCorrelator::OnFinished(const TestFinished& event) {
  std::unique_lock lock(mutex_);
  if (auto it = phones_.find(event.phone.serialNumber);
      it != phones_.end() && it->second.Testing()) {
    it->second.runs.back().endNs = SecondsNs(event.wallSeconds);
  }
  // A test's spans all come before its end, so once no test runs, no span can join any more.
  const bool anyRunning = std::any_of(phones_.begin(), phones_.end(),
                                      [](const auto& entry) { return entry.second.Testing(); });
  DecideDue(!anyRunning);
  Deliver(lock);
}

void InterruptionCorrelator::Poll() {
  std::unique_lock lock(mutex_);
  DecideDue(false);
  Deliver(lock);
}

void InterruptionCorrelator::Flush() {
  std::unique_lock lock(mutex_);
  DecideDue(true);
  Deliver(lock);
}

std::size_t InterruptionCorrelator::HeldSpans() {
  std::lock_guard lock(mutex_);
  std::size_t n = 0;
  for (const Group& group : groups_) n += group.spans.size();
  return n;
}

std::size_t InterruptionCorrelator::KeptSpans() {
  std::lock_guard lock(mutex_);
  return kept_.size();
}

InterruptionCorrelator::Phone& InterruptionCorrelator::PhoneOf(const TestIdentity& identity,
                                                               std::string site) {
  Phone& phone = phones_[identity.serialNumber];
  phone.site = std::move(site);
  return phone;
}

void InterruptionCorrelator::Join(Span span, Clock::TimePoint due) {
  // Every group this span links with (through a span of another phone) merges into the first.
  Group* into = nullptr;
  for (auto it = groups_.begin(); it != groups_.end();) {
    const bool links = std::any_of(it->spans.begin(), it->spans.end(), [&](const Span& other) {
      return other.serial != span.serial &&
             Near(other.startNs, other.endNs, span.startNs, span.endNs);
    });
    if (!links) {
      ++it;
    } else if (into == nullptr) {
      into = &*it;
      ++it;
    } else {
      into->spans.insert(into->spans.end(), it->spans.begin(), it->spans.end());
      into->startNs = std::min(into->startNs, it->startNs);
      into->endNs = std::max(into->endNs, it->endNs);
      into->due = std::max(into->due, it->due);
      it = groups_.erase(it);  // after `into`, so `into` stays valid
    }
  }
  if (into == nullptr) {
    groups_.push_back(Group{{}, span.startNs, span.endNs, due});
    into = &groups_.back();
  }
  into->startNs = std::min(into->startNs, span.startNs);
  into->endNs = std::max(into->endNs, span.endNs);
  into->due = std::max(into->due, due);
  into->spans.push_back(std::move(span));
}

void InterruptionCorrelator::DecideDue(bool all) {
  const Clock::TimePoint now = clock_.Now();
  std::vector<Group> due;
  std::vector<Group> held;
  for (Group& group : groups_) (all || group.due <= now ? due : held).push_back(std::move(group));
  std::sort(due.begin(), due.end(),
            [](const Group& a, const Group& b) { return a.startNs < b.startNs; });
  groups_ = std::move(held);
  for (Group& group : due) {
    // Decided groups count as lost frames near a later one, so their spans are kept before
    // the next is judged.
    if (auto decided = Judge(group)) outbox_.push_back(std::move(*decided));
    kept_.insert(kept_.end(), std::make_move_iterator(group.spans.begin()),
                 std::make_move_iterator(group.spans.end()));
  }
  Prune();
}

std::optional<SharedInterruption> InterruptionCorrelator::Judge(const Group& group) const {
  SharedInterruption shared;
  shared.startWallNs = group.startNs;
  shared.endWallNs = group.endNs;
  std::map<std::string, SharedInterruptionPhone> losing;
  std::map<std::string, SharedInterruptionSite> sites;
  std::vector<const Span*> spans;
  for (const Span& span : group.spans) spans.push_back(&span);
  std::sort(spans.begin(), spans.end(),
            [](const Span* a, const Span* b) { return a->startNs < b->startNs; });
  for (const Span* span : spans) {
    SharedInterruptionPhone& phone = losing[span->serial];
    if (phone.spans.empty()) {
      phone.serialNumber = span->serial;
      phone.site = span->site;
      ++sites[span->site].phonesLosing;
    }
    phone.spans.push_back(span->span);
    phone.lost += span->span.lost;
    shared.lost += span->span.lost;
  }

  // Phones with a span near the interval that is not this group's: they lost frames then.
  std::set<std::string> lostNearby;
  const auto note = [&](const Span& span) {
    if (!losing.count(span.serial) &&
        Near(span.startNs, span.endNs, group.startNs, group.endNs)) {
      lostNearby.insert(span.serial);
    }
  };
  for (const Span& span : kept_) note(span);
  for (const Group& other : groups_) {
    for (const Span& span : other.spans) note(span);
  }

  int32_t witnesses = 0;
  shared.phonesRunning = static_cast<int32_t>(losing.size());
  for (const auto& [serial, phone] : phones_) {
    if (losing.count(serial)) {
      ++sites[losing.at(serial).site].phonesRunning;
      continue;
    }
    if (!Running(phone, group.startNs, group.endNs)) continue;
    ++shared.phonesRunning;
    if (auto it = sites.find(phone.site); it != sites.end()) ++it->second.phonesRunning;
    if (!lostNearby.count(serial)) ++witnesses;
  }
  // A losing phone whose test start was not seen still ran through its own span.
  for (const auto& [serial, phone] : losing) {
    if (!phones_.count(serial)) ++sites[phone.site].phonesRunning;
  }

  for (auto& [serial, phone] : losing) shared.phones.push_back(std::move(phone));
  for (auto& [name, site] : sites) {
    site.site = name;
    shared.sites.push_back(std::move(site));
  }
  if (witnesses == 0) {
    // Nothing ran without loss: with phones at two or more sites the fault lies where all
    // their paths meet; at one site there is nothing to tell the site's link from the head
    // end.
    if (shared.sites.size() < 2) return std::nullopt;
    shared.scope = InterruptionScope::kEverywhere;
  } else if (shared.phones.size() == 1) {
    shared.scope = InterruptionScope::kPhone;
  } else {
    shared.scope = shared.sites.size() == 1 ? InterruptionScope::kSite : InterruptionScope::kSites;
  }
  return shared;
}

bool InterruptionCorrelator::Running(const Phone& phone, int64_t startNs, int64_t endNs) const {
  // A run's times are whole seconds: it counts from the second it started in.
  return std::any_of(phone.runs.begin(), phone.runs.end(), [&](const Run& run) {
    return run.startNs <= startNs && run.endNs >= endNs - kWallResolutionNs;
  });
}

void InterruptionCorrelator::Prune() {
  // Later spans begin after the last start or cycle end of a running test; a decided span
  // or an ended test that lies well before all of them can no longer matter, unless a group
  // still held reaches back to it.
  int64_t horizon = INT64_MAX;
  for (const auto& [serial, phone] : phones_) {
    if (phone.Testing()) {
      horizon = std::min(horizon, phone.boundaryNs);
    }
  }
  if (horizon != INT64_MAX) horizon -= kWallResolutionNs + kSharedGapNs;
  for (const Group& group : groups_) horizon = std::min(horizon, group.startNs - kSharedGapNs);
  std::erase_if(kept_, [&](const Span& span) { return span.endNs < horizon; });
  for (auto it = phones_.begin(); it != phones_.end();) {
    std::erase_if(it->second.runs, [&](const Run& run) { return run.endNs < horizon; });
    it = it->second.runs.empty() ? phones_.erase(it) : std::next(it);
  }
}

void InterruptionCorrelator::Deliver(std::unique_lock<std::mutex>& lock) {
  // One thread delivers at a time, so the observers hear the interruptions one by one and in
  // the order they were decided; a thread that finds another delivering leaves its own to it.
  if (delivering_) return;
  delivering_ = true;
  while (!outbox_.empty()) {
    const SharedInterruption next = std::move(outbox_.front());
    outbox_.pop_front();
    const auto observers = observers_;
    lock.unlock();
    for (const auto& observer : observers) observer->OnSharedInterruption(next);
    lock.lock();
  }
  delivering_ = false;
}

}  // namespace pathmon
