// SPDX-License-Identifier: Apache-2.0
#include "frontend/SharedInterruptions.h"

#include <arpa/inet.h>

#include <deque>
#include <map>
#include <mutex>

namespace pathmon {

struct SharedInterruptions::State {
  mutable std::mutex mutex;
  std::map<std::string, std::string> sites;  // by serial number
  std::deque<SharedInterruption> kept;
  int64_t count = 0;

  std::string SiteOf(const TestIdentity& phone) const {
    {
      std::lock_guard lock(mutex);
      const auto it = sites.find(phone.serialNumber);
      if (it != sites.end() && !it->second.empty()) return it->second;
    }
    return NetworkSite(phone);
  }
};

// The correlator's first observer: keeps each interruption before the others hear of it.
class SharedInterruptions::Keeper final : public SharedInterruptionObserver {
 public:
  explicit Keeper(std::shared_ptr<State> state) : state_(std::move(state)) {}
  void OnSharedInterruption(const SharedInterruption& interruption) override {
    std::lock_guard lock(state_->mutex);
    state_->kept.push_back(interruption);
    ++state_->count;
    if (state_->kept.size() > kKeptSharedInterruptions) state_->kept.pop_front();
  }

 private:
  std::shared_ptr<State> state_;
};

SharedInterruptions::SharedInterruptions(Clock& clock, int32_t frameIntervalMs)
    : state_(std::make_shared<State>()),
      // The site function holds the state, not this object: the backend keeps its observers,
      // the correlator among them, as long as the engine lives.
      correlator_(std::make_shared<InterruptionCorrelator>(
          clock, frameIntervalMs,
          [state = state_](const TestIdentity& phone) { return state->SiteOf(phone); })) {
  correlator_->AddObserver(std::make_shared<Keeper>(state_));
}

void SharedInterruptions::AddObserver(std::shared_ptr<SharedInterruptionObserver> observer) {
  correlator_->AddObserver(std::move(observer));
}

void SharedInterruptions::PlacePhone(const std::string& serial, const std::string& site) {
  std::lock_guard lock(state_->mutex);
  state_->sites[serial] = site;
}

std::string SharedInterruptions::SiteOf(const TestIdentity& phone) const {
  return state_->SiteOf(phone);
}

std::string SharedInterruptions::SiteOf(const std::string& serial,
                                        const std::string& address) const {
  in_addr parsed{};
  if (::inet_pton(AF_INET, address.c_str(), &parsed) == 1) {
    return state_->SiteOf(TestIdentity{serial, {}, parsed.s_addr});
  }
  std::lock_guard lock(state_->mutex);
  const auto it = state_->sites.find(serial);
  return it != state_->sites.end() ? it->second : std::string();
}

std::vector<SharedInterruption> SharedInterruptions::Decided() const {
  std::lock_guard lock(state_->mutex);
  return {state_->kept.begin(), state_->kept.end()};
}

int64_t SharedInterruptions::Count() const {
  std::lock_guard lock(state_->mutex);
  return state_->count;
}

std::optional<SharedInterruption> SharedInterruptions::Last() const {
  std::lock_guard lock(state_->mutex);
  if (state_->kept.empty()) return std::nullopt;
  return state_->kept.back();
}

std::optional<InterruptionScope> SharedInterruptions::ScopeOf(const std::string& serial,
                                                              const InterruptionSpan& span) const {
  std::lock_guard lock(state_->mutex);
  // Newest first: a span the views show is a recent one.
  for (auto it = state_->kept.rbegin(); it != state_->kept.rend(); ++it) {
    for (const SharedInterruptionPhone& phone : it->phones) {
      if (phone.serialNumber != serial) continue;
      for (const InterruptionSpan& s : phone.spans) {
        if (s.timeWallNs == span.timeWallNs && s.firstSequence == span.firstSequence) {
          return it->scope;
        }
      }
    }
  }
  return std::nullopt;
}

}  // namespace pathmon
