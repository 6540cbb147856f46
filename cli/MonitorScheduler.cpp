// SPDX-License-Identifier: Apache-2.0
#include "cli/MonitorScheduler.h"

#include <algorithm>
#include <stdexcept>

namespace pathmon::cli {

std::chrono::minutes BackoffAfter(int failures) {
  if (failures < 1) return std::chrono::minutes{0};
  // 2^(n-1) minutes, held at the longest wait; the shift is bounded first so it cannot
  // overflow after many failures.
  const int shift = std::min(failures - 1, 5);
  return std::min(kFirstBackoff * (int64_t{1} << shift), kLongestBackoff);
}

bool EndedAsFailure(TestEnd end, std::chrono::steady_clock::duration ran) {
  switch (end) {
    case TestEnd::kPhoneEnded: return ran < kAtOnce;
    case TestEnd::kSendFailed: return true;
    case TestEnd::kDuration:
    case TestEnd::kStopped:
    case TestEnd::kNone: break;
  }
  return false;
}

MonitorScheduler::MonitorScheduler(int32_t limit) : limit_(std::max<int32_t>(1, limit)) {}

MonitorScheduler::Phone* MonitorScheduler::Find(const std::string& serial) {
  for (Phone& p : phones_) {
    if (p.serial == serial) return &p;
  }
  return nullptr;
}

const MonitorScheduler::Phone* MonitorScheduler::Find(const std::string& serial) const {
  return const_cast<MonitorScheduler*>(this)->Find(serial);
}

MonitorScheduler::Phone& MonitorScheduler::Expect(const std::string& serial, MonitorState state) {
  Phone* p = Find(serial);
  if (p == nullptr || p->state != state) {
    throw std::logic_error("monitor: phone " + serial + " is not in the expected state");
  }
  return *p;
}

void MonitorScheduler::BackOfLine(Phone& phone, TimePoint readyAt) {
  phone.state = MonitorState::kWaiting;
  phone.readyAt = readyAt;
  phone.place = nextPlace_++;
}

MonitorScheduler::Change MonitorScheduler::Update(const std::vector<std::string>& fleet,
                                                  TimePoint now) {
  Change change;
  for (const std::string& serial : fleet) {
    Phone* p = Find(serial);
    if (p == nullptr) {
      phones_.push_back(Phone{serial});
      BackOfLine(phones_.back(), now);
      change.joined.push_back(serial);
    } else if (p->state == MonitorState::kDropped) {
      p->failures = 0;
      BackOfLine(*p, now);
      change.joined.push_back(serial);
    } else {
      p->leaving = false;
    }
  }
  for (Phone& p : phones_) {
    if (p.state == MonitorState::kDropped ||
        std::find(fleet.begin(), fleet.end(), p.serial) != fleet.end()) {
      continue;
    }
    if (!p.leaving) change.dropped.push_back(p.serial);
    if (p.state == MonitorState::kWaiting) {
      p.state = MonitorState::kDropped;
    } else {
      p.leaving = true;
    }
  }
  return change;
}

std::vector<std::string> MonitorScheduler::TakeStartable(TimePoint now) {
  std::vector<Phone*> ready;
  for (Phone& p : phones_) {
    if (p.state == MonitorState::kWaiting && p.readyAt <= now) ready.push_back(&p);
  }
  std::sort(ready.begin(), ready.end(), [](const Phone* a, const Phone* b) {
    return a->place < b->place;
  });
  std::vector<std::string> start;
  for (Phone* p : ready) {
    if (Occupied() >= limit_) break;
    p->state = MonitorState::kStarting;
    start.push_back(p->serial);
  }
  return start;
}

void MonitorScheduler::StartSucceeded(const std::string& serial, TimePoint now) {
  Phone& p = Expect(serial, MonitorState::kStarting);
  p.state = MonitorState::kRunning;
  p.startedAt = now;
}

std::chrono::minutes MonitorScheduler::StartFailed(const std::string& serial, TimePoint now) {
  Phone& p = Expect(serial, MonitorState::kStarting);
  if (p.leaving) {
    p.state = MonitorState::kDropped;
    return std::chrono::minutes{0};
  }
  const std::chrono::minutes wait = BackoffAfter(++p.failures);
  BackOfLine(p, now + wait);
  return wait;
}

void MonitorScheduler::StartCancelled(const std::string& serial) {
  Phone& p = Expect(serial, MonitorState::kStarting);
  p.state = p.leaving ? MonitorState::kDropped : MonitorState::kWaiting;
  p.readyAt = TimePoint::max();
}

std::chrono::minutes MonitorScheduler::Finished(const std::string& serial, TestEnd end,
                                                TimePoint now) {
  Phone& p = Expect(serial, MonitorState::kRunning);
  if (p.leaving) {
    p.state = MonitorState::kDropped;
    return std::chrono::minutes{0};
  }
  if (EndedAsFailure(end, now - p.startedAt)) {
    const std::chrono::minutes wait = BackoffAfter(++p.failures);
    BackOfLine(p, now + wait);
    return wait;
  }
  p.failures = 0;
  BackOfLine(p, now);
  return std::chrono::minutes{0};
}

MonitorState MonitorScheduler::State(const std::string& serial) const {
  const Phone* p = Find(serial);
  return p == nullptr ? MonitorState::kDropped : p->state;
}

int MonitorScheduler::Failures(const std::string& serial) const {
  const Phone* p = Find(serial);
  return p == nullptr ? 0 : p->failures;
}

std::optional<MonitorScheduler::TimePoint> MonitorScheduler::ReadyAt(
    const std::string& serial) const {
  const Phone* p = Find(serial);
  if (p == nullptr || p->state != MonitorState::kWaiting) return std::nullopt;
  return p->readyAt;
}

std::vector<std::string> MonitorScheduler::Phones() const {
  std::vector<std::string> serials;
  for (const Phone& p : phones_) {
    if (p.state != MonitorState::kDropped) serials.push_back(p.serial);
  }
  return serials;
}

int32_t MonitorScheduler::Occupied() const {
  return static_cast<int32_t>(std::count_if(phones_.begin(), phones_.end(), [](const Phone& p) {
    return p.state == MonitorState::kStarting || p.state == MonitorState::kRunning;
  }));
}

}  // namespace pathmon::cli
