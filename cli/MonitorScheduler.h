// SPDX-License-Identifier: Apache-2.0
#pragma once
// The order in which --monitor tests a fleet over and over: each phone waits in line, starts
// when a place among the concurrent tests is free (first in line first), and goes to the back
// of the line when its test ends. A phone that does not answer the control exchange, or whose
// test ends at once (the phone off hook, frames that cannot be sent), waits 1, 2, 4 … up to 30
// minutes before its next try. Rescans add phones at the back of the line and drop the ones
// that no longer answer. Pure bookkeeping on the times it is given: no threads, no clock.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "looptest/LoopTest.h"
#include "transport/Clock.h"

namespace pathmon::cli {

inline constexpr std::chrono::minutes kFirstBackoff{1};
inline constexpr std::chrono::minutes kLongestBackoff{30};
// A test the phone ends within this time after its start ended "at once": the phone is off
// hook (it ends every test it is sent) rather than hung up after a while.
inline constexpr std::chrono::seconds kAtOnce{10};

// The wait after the n-th failure in a row (n >= 1): 1, 2, 4, 8, 16, 30, 30 … minutes.
std::chrono::minutes BackoffAfter(int failures);

// Whether a test that ended this way, this long after its start, counts as a failure.
bool EndedAsFailure(TestEnd end, std::chrono::steady_clock::duration ran);

enum class MonitorState {
  kWaiting,   // in line; may start from readyAt on
  kStarting,  // control exchange under way; holds a place
  kRunning,   // holds a place
  kDropped,   // no longer in the fleet
};

// Contract: one thread.
class MonitorScheduler {
 public:
  using TimePoint = Clock::TimePoint;

  explicit MonitorScheduler(int32_t limit);

  // The fleet as the latest scan found it, in its order: unknown phones join at the back of
  // the line, ready now; phones missing from it are dropped (a starting or running one once
  // its test ends). A dropped phone that is found again joins again.
  // Returns the phones that joined and those that were dropped or will be.
  struct Change {
    std::vector<std::string> joined, dropped;
  };
  Change Update(const std::vector<std::string>& fleet, TimePoint now);

  // The waiting phones whose time has come, first in line first, within the free places;
  // they become kStarting.
  std::vector<std::string> TakeStartable(TimePoint now);
  void StartSucceeded(const std::string& serial, TimePoint now);
  // The control exchange failed: the phone waits out its backoff. Returns the wait.
  std::chrono::minutes StartFailed(const std::string& serial, TimePoint now);
  // A start cancelled by the interruption: the phone waits again (and is never taken).
  void StartCancelled(const std::string& serial);
  // The test ended. A failure (EndedAsFailure) waits out the backoff, which is returned;
  // otherwise the failures are forgotten and the phone goes to the back of the line (0).
  std::chrono::minutes Finished(const std::string& serial, TestEnd end, TimePoint now);

  MonitorState State(const std::string& serial) const;
  int Failures(const std::string& serial) const;
  std::optional<TimePoint> ReadyAt(const std::string& serial) const;
  // Every phone not dropped, in line order (the table's rows).
  std::vector<std::string> Phones() const;
  int32_t Occupied() const;
  int32_t Limit() const { return limit_; }

 private:
  struct Phone {
    std::string serial;
    MonitorState state = MonitorState::kWaiting;
    TimePoint readyAt{};
    TimePoint startedAt{};
    uint64_t place = 0;  // position in line: smaller starts first
    int failures = 0;
    bool leaving = false;  // dropped once its test ends
  };
  Phone* Find(const std::string& serial);
  const Phone* Find(const std::string& serial) const;
  Phone& Expect(const std::string& serial, MonitorState state);
  void BackOfLine(Phone& phone, TimePoint readyAt);

  std::vector<Phone> phones_;
  uint64_t nextPlace_ = 0;
  int32_t limit_;
};

}  // namespace pathmon::cli
