// SPDX-License-Identifier: Apache-2.0
#include "cli/TestScheduler.h"

#include <algorithm>
#include <cstdio>
#include <functional>
#include <queue>
#include <stdexcept>

namespace pathmon::cli {

const char* StateName(PhoneState state) {
  switch (state) {
    case PhoneState::kWaiting: return "waiting";
    case PhoneState::kStarting: return "starting";
    case PhoneState::kRunning: return "running";
    case PhoneState::kFinished: return "finished";
    case PhoneState::kStartFailed: return "start-failed";
    case PhoneState::kNotStarted: return "not-started";
  }
  return "unknown";
}

TestStage StageOf(PhoneState state, bool tested) {
  switch (state) {
    case PhoneState::kStartFailed: return TestStage::kStartFailed;
    // A phone still starting when the run was interrupted was never tested.
    case PhoneState::kStarting: return tested ? TestStage::kEnded : TestStage::kNotTested;
    case PhoneState::kRunning:
    case PhoneState::kFinished: return TestStage::kEnded;
    case PhoneState::kWaiting:
    case PhoneState::kNotStarted: break;
  }
  return TestStage::kNotTested;
}

TestScheduler::TestScheduler(std::vector<std::string> serials, int32_t limit)
    : limit_(std::max<int32_t>(1, limit)) {
  for (std::string& serial : serials) phones_.push_back({std::move(serial)});
}

std::vector<int> TestScheduler::TakeStartable() {
  std::vector<int> start;
  int32_t free = limit_ - Occupied();
  for (int i = 0; i < Count() && free > 0; ++i) {
    if (phones_[static_cast<std::size_t>(i)].state == PhoneState::kWaiting) {
      phones_[static_cast<std::size_t>(i)].state = PhoneState::kStarting;
      start.push_back(i);
      --free;
    }
  }
  return start;
}

void TestScheduler::Move(int phone, PhoneState from, PhoneState to) {
  Phone& p = phones_.at(static_cast<std::size_t>(phone));
  if (p.state != from) {
    throw std::logic_error(std::string("phone ") + p.serial + " is " + StateName(p.state) +
                           ", not " + StateName(from));
  }
  p.state = to;
}

void TestScheduler::StartSucceeded(int phone) {
  Move(phone, PhoneState::kStarting, PhoneState::kRunning);
}

void TestScheduler::StartFailed(int phone) {
  Move(phone, PhoneState::kStarting, PhoneState::kStartFailed);
}

void TestScheduler::StartCancelled(int phone) {
  Move(phone, PhoneState::kStarting, PhoneState::kNotStarted);
}

void TestScheduler::Finished(int phone) { Move(phone, PhoneState::kRunning, PhoneState::kFinished); }

void TestScheduler::CancelWaiting() {
  for (Phone& p : phones_) {
    if (p.state == PhoneState::kWaiting) p.state = PhoneState::kNotStarted;
  }
}

int32_t TestScheduler::Occupied() const {
  return static_cast<int32_t>(std::count_if(phones_.begin(), phones_.end(), [](const Phone& p) {
    return p.state == PhoneState::kStarting || p.state == PhoneState::kRunning;
  }));
}

std::vector<int> TestScheduler::Waiting() const {
  std::vector<int> waiting;
  for (int i = 0; i < Count(); ++i) {
    if (phones_[static_cast<std::size_t>(i)].state == PhoneState::kWaiting) waiting.push_back(i);
  }
  return waiting;
}

bool TestScheduler::Done() const { return Occupied() == 0 && Waiting().empty(); }

int64_t EstimateRemainingSeconds(std::vector<int64_t> runningRemaining, int waiting,
                                 int32_t limit, int64_t testSeconds, int64_t startSeconds) {
  // The places as a min-heap of the times at which they come free.
  std::priority_queue<int64_t, std::vector<int64_t>, std::greater<>> places;
  for (int64_t r : runningRemaining) places.push(std::max<int64_t>(0, r));
  while (static_cast<int32_t>(places.size()) < std::max<int32_t>(1, limit)) places.push(0);
  int64_t end = 0;
  for (int64_t r : runningRemaining) end = std::max(end, r);
  for (int i = 0; i < waiting; ++i) {
    int64_t free = places.top();
    places.pop();
    int64_t done = free + startSeconds + testSeconds;
    end = std::max(end, done);
    places.push(done);
  }
  return end;
}

std::string FormatDuration(int64_t seconds) {
  if (seconds < 0) seconds = 0;
  char text[32];
  if (seconds >= 3600) {
    std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", static_cast<long long>(seconds / 3600),
                  static_cast<long long>(seconds / 60 % 60), static_cast<long long>(seconds % 60));
  } else {
    std::snprintf(text, sizeof text, "%lld:%02lld", static_cast<long long>(seconds / 60),
                  static_cast<long long>(seconds % 60));
  }
  return text;
}

}  // namespace pathmon::cli
