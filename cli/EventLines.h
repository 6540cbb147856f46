// SPDX-License-Identifier: Apache-2.0
#pragma once
// -v: one line per test event ("18:02:05  alice:SN1  test started"), collected on the tests'
// threads and printed by the run's own: appended as they come when the output is no terminal,
// the latest ones kept under the redrawn table on a terminal.
//
// Contract: thread-safe.

#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "looptest/LoopTest.h"

namespace pathmon::cli {

inline constexpr std::size_t kRecentEventLines = 10;

class EventLines final : public TestObserver {
 public:
  explicit EventLines(double minMos) : minMos_(minMos) {}  // --min-mos, for "not usable"
  void OnStarted(const TestStarted& event) override;
  void OnCycleResult(const CycleResult& event) override;
  void OnFinished(const TestFinished& event) override;

  // The lines since the last call; they join the recent ones.
  std::vector<std::string> Take();
  // The latest kRecentEventLines lines taken.
  std::vector<std::string> Recent();

 private:
  void Add(int64_t wallSeconds, const TestIdentity& phone, const std::string& what);

  const double minMos_;
  std::mutex mutex_;
  std::vector<std::string> new_;
  std::deque<std::string> recent_;
};

// "HH:MM:SS" of the local time.
std::string LocalClockText(int64_t wallSeconds);

}  // namespace pathmon::cli
