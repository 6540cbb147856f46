// SPDX-License-Identifier: Apache-2.0
#pragma once
// The interruptions seen together in one run of a front end (a pathmon-cli run or monitor,
// the desktop program's session): the one correlator that observes every test of the run, the
// site each phone belongs to, and the shared interruptions it decided, kept for the summary,
// the reports and the views. Other observers (the event stream, metrics) attach here.
//
// Contract: thread-safe. The correlator calls in from the tests' threads; the run's owner
// adds Observer() to the backend before the run's first test starts, calls Poll every second
// or two while tests run (the tests' progress polls too) and Flush once they have all ended,
// before anything is reported. Observers are called as SharedInterruptionObserver says, in
// the order added, after the interruption is kept here.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/InterruptionCorrelator.h"
#include "frontend/Backend.h"

namespace pathmon {

// The interruptions kept; beyond, the oldest give way (a monitor runs for months).
inline constexpr std::size_t kKeptSharedInterruptions = 10000;

class SharedInterruptions {
 public:
  explicit SharedInterruptions(Clock& clock, int32_t frameIntervalMs = kTestIntervalMs);

  // The correlator, to add to the backend's observers.
  std::shared_ptr<TestObserver> Observer() const { return correlator_; }
  void AddObserver(std::shared_ptr<SharedInterruptionObserver> observer);

  // The phone's site from now on (a sites file's); a phone not placed, or placed at an empty
  // name, belongs to its /24 network (NetworkSite). Place it before its test starts.
  void PlacePhone(const std::string& serial, const std::string& site);
  std::string SiteOf(const TestIdentity& phone) const;
  // The same for a phone known by its dotted address; an address that does not parse
  // belongs to the empty site.
  std::string SiteOf(const std::string& serial, const std::string& address) const;

  void Poll() { correlator_->Poll(); }
  void Flush() { correlator_->Flush(); }

  // The interruptions kept, in the order they were decided, and how many were decided in all.
  std::vector<SharedInterruption> Decided() const;
  int64_t Count() const;
  std::optional<SharedInterruption> Last() const;
  // The scope of the kept interruption that holds the phone's span (the same first lost
  // frame); none when it belongs to none.
  std::optional<InterruptionScope> ScopeOf(const std::string& serial,
                                           const InterruptionSpan& span) const;

 private:
  struct State;
  class Keeper;

  std::shared_ptr<State> state_;  // shared with the correlator's site function and the keeper
  std::shared_ptr<InterruptionCorrelator> correlator_;
};

}  // namespace pathmon
