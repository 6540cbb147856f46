// SPDX-License-Identifier: Apache-2.0
#pragma once
// The order in which one command tests a whole fleet: every phone waits in line until a
// place among the run's concurrent tests is free, then starts. Pure bookkeeping: the run
// reports what happened, the scheduler says which phones may start. No threads, no clock.

#include <cstdint>
#include <string>
#include <vector>

#include "frontend/Verdict.h"

namespace pathmon::cli {

enum class PhoneState {
  kWaiting,      // in line for a free place
  kStarting,     // control exchange and test start under way; holds a place
  kRunning,      // test running; holds a place
  kFinished,     // test ended (by itself, by the phone or by a stop)
  kStartFailed,  // the phone did not answer the control exchange
  kNotStarted,   // still waiting when the run was interrupted
};

const char* StateName(PhoneState state);
// How far a phone's test got by its final state, for its verdict; tested: a cycle result came.
TestStage StageOf(PhoneState state, bool tested);

// Contract: one thread.
class TestScheduler {
 public:
  // The phones in the order they are to start; at most `limit` (at least 1) hold a place.
  TestScheduler(std::vector<std::string> serials, int32_t limit);

  // The waiting phones that may start now, first in line first; they become kStarting.
  std::vector<int> TakeStartable();
  void StartSucceeded(int phone);  // kStarting -> kRunning
  void StartFailed(int phone);     // kStarting -> kStartFailed, freeing the place
  void StartCancelled(int phone);  // kStarting -> kNotStarted (interrupted before its test)
  void Finished(int phone);        // kRunning -> kFinished, freeing the place
  // Interruption: every waiting phone becomes kNotStarted.
  void CancelWaiting();

  int32_t Occupied() const;  // phones starting or running
  std::vector<int> Waiting() const;
  bool Done() const;  // nothing waiting, starting or running
  int32_t Limit() const { return limit_; }
  int Count() const { return static_cast<int>(phones_.size()); }
  PhoneState State(int phone) const { return phones_[static_cast<std::size_t>(phone)].state; }
  const std::string& Serial(int phone) const {
    return phones_[static_cast<std::size_t>(phone)].serial;
  }

 private:
  struct Phone {
    std::string serial;
    PhoneState state = PhoneState::kWaiting;
  };
  void Move(int phone, PhoneState from, PhoneState to);

  std::vector<Phone> phones_;
  int32_t limit_;
};

// Seconds until the last test of the run ends: the running tests end after their own
// remaining seconds, and each waiting phone takes the first place to come free for a whole
// test of testSeconds plus startSeconds for its control exchange.
int64_t EstimateRemainingSeconds(std::vector<int64_t> runningRemaining, int waiting,
                                 int32_t limit, int64_t testSeconds, int64_t startSeconds);

// "M:SS", or "H:MM:SS" from an hour on; negative values read as 0.
std::string FormatDuration(int64_t seconds);

}  // namespace pathmon::cli
