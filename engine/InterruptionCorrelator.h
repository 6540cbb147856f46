// SPDX-License-Identifier: Apache-2.0
#pragma once
// Interruptions seen together: the interruption spans of the phones under test, grouped when
// they fall together in time, and each group's scope (one phone, one site, several sites, every
// running phone), which tells where the fault lies. docs/shared-interruptions.md gives the
// rule with a worked example.

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "looptest/TestEvents.h"
#include "transport/Clock.h"

namespace pathmon {

// Spans of two phones lying at most this far apart (or overlapping) belong together.
inline constexpr int64_t kSharedGapNs = 500'000'000;
// A span waits this long after it reached the correlator for spans still open elsewhere.
inline constexpr int64_t kSharedHoldNs = 2'000'000'000;

enum class InterruptionScope {
  kPhone,       // one phone lost frames while another phone's test ran without loss
  kSite,        // two or more phones, all of one site, while another phone ran without loss
  kSites,       // phones of two or more sites, but not every running phone
  kEverywhere,  // every phone whose test was running, at two or more sites
};
// "phone", "site", "sites", "everywhere": the word of the reports and the metrics' label.
const char* InterruptionScopeName(InterruptionScope scope);

// A phone that lost frames in a shared interruption.
struct SharedInterruptionPhone {
  std::string serialNumber;
  std::string site;
  std::vector<InterruptionSpan> spans;  // its spans in the interruption, in time order
  int32_t lost = 0;                     // frames lost in them
};

// A site with a phone that lost frames in a shared interruption.
struct SharedInterruptionSite {
  std::string site;
  int32_t phonesLosing = 0;   // its phones that lost frames in the interruption
  int32_t phonesRunning = 0;  // its phones whose test ran through it, those included
};

// Spans of different phones that fell together, with what the other running tests saw.
struct SharedInterruption {
  int64_t startWallNs = 0;  // the first lost frame's send (ns since 1970)
  int64_t endWallNs = 0;    // the last lost frame's send plus one frame interval
  InterruptionScope scope = InterruptionScope::kPhone;
  std::vector<SharedInterruptionPhone> phones;  // by serial number
  std::vector<SharedInterruptionSite> sites;    // the phones' sites, by name
  int32_t lost = 0;                             // frames lost in all its spans
  int32_t phonesRunning = 0;  // phones whose test ran through it, those that lost included

  // The site for scope kSite; empty otherwise.
  std::string Site() const;
};

// Receives the correlator's shared interruptions. Contract: called on the thread of one of
// the tests the correlator observes (or of a Poll or Flush caller), one call at a time, in the
// order the interruptions were decided, never under the correlator's lock. An observer must
// not call the correlator.
class SharedInterruptionObserver {
 public:
  virtual ~SharedInterruptionObserver() = default;
  virtual void OnSharedInterruption(const SharedInterruption& interruption) = 0;
};

// The site a phone belongs to, asked when its test starts and with each of its spans.
using SiteOf = std::function<std::string(const TestIdentity& phone)>;
// The phone's /24 network, "A.B.C.0/24": the site of a phone that no sites file places.
std::string NetworkSite(const TestIdentity& phone);

// Groups the spans of the tests it observes. Two spans of different phones belong to one
// group when their intervals [first lost frame's send, last lost frame's send + one frame
// interval] overlap or lie at most kSharedGapNs apart, and groups join transitively: a span
// that links two groups merges them. A group is decided when kSharedHoldNs have passed on the
// clock since its latest span arrived, or at once when no observed test runs any more; then
// its scope is judged from the phones whose test ran through its whole interval (started at
// or before its start, not ended before its end, to the events' second). A phone that ran
// without a span near the interval is a witness; a phone whose span near it was decided in an
// earlier group (it closed too late to join) counts neither as a witness nor as part of this
// group. Without a witness, a group at one site says nothing about where the fault lies
// (there is nothing to compare with) and is dropped; see InterruptionScope for the rest.
//
// Contract: thread-safe; the tests' threads call the TestObserver methods at once. One lock
// guards the state; observers are called after it is released (SharedInterruptionObserver).
// No thread of its own: the tests' events (their progress comes each second) decide what is
// due; an owner may call Poll too, and Flush at the end of a run.
// Memory and time are per span and per test, never per frame: the correlator keeps the spans
// of the groups not yet decided, the spans of decided groups and the ended tests' times until
// every running test has passed a cycle end after them (a span never reaches across a cycle
// end), so at most about one 5-minute cycle's spans per running test; decided groups wait
// in the delivery queue only until delivered. A span's arrival is compared with the held
// spans; deciding a group looks at the kept spans and at every phone once.
class InterruptionCorrelator final : public TestObserver {
 public:
  // frameIntervalMs: the tests' interval between frames. siteOf is called without the lock,
  // from the tests' threads at once.
  InterruptionCorrelator(Clock& clock, int32_t frameIntervalMs, SiteOf siteOf = NetworkSite);

  void AddObserver(std::shared_ptr<SharedInterruptionObserver> observer);

  void OnStarted(const TestStarted& event) override;
  void OnProgress(const TestProgress& event) override;
  void OnInterruptionSpan(const InterruptionSpanClosed& event) override;
  void OnCycleResult(const CycleResult& event) override;
  void OnFinished(const TestFinished& event) override;

  // Decides and delivers the groups whose hold has passed.
  void Poll();
  // Decides and delivers every group held, whatever its hold: the run is over. Returns once
  // they are delivered, unless another thread is delivering meanwhile (it delivers them).
  void Flush();
  // Spans held in groups not yet decided, and spans kept from decided ones.
  std::size_t HeldSpans();
  std::size_t KeptSpans();

 private:
  struct Span {
    std::string serial;
    std::string site;
    InterruptionSpan span;
    int64_t startNs = 0;  // the interval the grouping compares
    int64_t endNs = 0;
  };
  struct Group {
    std::vector<Span> spans;
    int64_t startNs = 0;
    int64_t endNs = 0;
    Clock::TimePoint due;  // its latest span's arrival plus the hold
  };
  struct Run {  // one test of a phone, to the second
    int64_t startNs = 0;
    int64_t endNs = INT64_MAX;  // still running
  };
  struct Phone {
    std::string site;
    std::vector<Run> runs;
    int64_t boundaryNs = 0;  // its test's last start or cycle end: later spans begin after it

    bool Testing() const { return !runs.empty() && runs.back().endNs == INT64_MAX; }
  };

  // The lock is held in these six.
  void Join(Span span, Clock::TimePoint due);
  // Decides the groups whose hold has passed (all: every group), oldest first.
  void DecideDue(bool all);
  std::optional<SharedInterruption> Judge(const Group& group) const;
  void Prune();
  Phone& PhoneOf(const TestIdentity& phone, std::string site);
  bool Running(const Phone& phone, int64_t startNs, int64_t endNs) const;
  // Delivers the queued interruptions unless another thread already does; releases and
  // retakes the lock around each delivery.
  void Deliver(std::unique_lock<std::mutex>& lock);

  Clock& clock_;
  const int64_t intervalNs_;
  const SiteOf siteOf_;
  std::mutex mutex_;
  std::vector<std::shared_ptr<SharedInterruptionObserver>> observers_;
  std::map<std::string, Phone> phones_;  // by serial number
  std::vector<Group> groups_;            // not yet decided; no two of them linked
  std::vector<Span> kept_;               // of decided groups
  std::deque<SharedInterruption> outbox_;
  bool delivering_ = false;
};

}  // namespace pathmon
