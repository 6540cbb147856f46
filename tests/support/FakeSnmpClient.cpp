// SPDX-License-Identifier: Apache-2.0
#include "support/FakeSnmpClient.h"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace pathmon::testing {

void FakeSnmpClient::SetOctets(const std::string& agent, const std::string& community,
                               const std::string& oid, std::string_view bytes) {
  SetTyped(agent, community, oid, kAsnOctetString, bytes);
}

void FakeSnmpClient::SetTyped(const std::string& agent, const std::string& community,
                              const std::string& oid, uint8_t type, std::string_view bytes) {
  std::lock_guard lock(mutex_);
  values_[Key{agent, community, oid}] = std::string(bytes);
  types_[Key{agent, community, oid}] = type;
}

void FakeSnmpClient::SetInteger(const std::string& agent, const std::string& community,
                                const std::string& oid, int32_t value) {
  std::string bytes(sizeof value, '\0');
  std::memcpy(bytes.data(), &value, sizeof value);
  SetTyped(agent, community, oid, 0x02, bytes);  // INTEGER
}

void FakeSnmpClient::SetIpAddress(const std::string& agent, const std::string& community,
                                  const std::string& oid, uint8_t a, uint8_t b, uint8_t c,
                                  uint8_t d) {
  const char bytes[4] = {static_cast<char>(a), static_cast<char>(b), static_cast<char>(c),
                         static_cast<char>(d)};
  SetTyped(agent, community, oid, 0x40, std::string_view(bytes, 4));  // IpAddress
}

void FakeSnmpClient::Remove(const std::string& agent, const std::string& community,
                            const std::string& oid) {
  std::lock_guard lock(mutex_);
  values_.erase(Key{agent, community, oid});
}

void FakeSnmpClient::SetFailing(bool failing, int result) {
  std::lock_guard lock(mutex_);
  failing_ = failing;
  failResult_ = result;
}

void FakeSnmpClient::FailAfter(int n) {
  std::lock_guard lock(mutex_);
  remainingBeforeFailure_ = n;
}

void FakeSnmpClient::Hold(const std::string& agent) {
  std::lock_guard lock(mutex_);
  held_.insert(agent);
}

void FakeSnmpClient::HoldAll() {
  std::lock_guard lock(mutex_);
  holdAll_ = true;
}

void FakeSnmpClient::Release(const std::string& agent) {
  std::lock_guard lock(mutex_);
  held_.erase(agent);
  released_.insert(agent);
  changed_.notify_all();
}

void FakeSnmpClient::ReleaseAll() {
  std::lock_guard lock(mutex_);
  holdAll_ = false;
  held_.clear();
  changed_.notify_all();
}

bool FakeSnmpClient::WaitForRequests(std::size_t n) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, std::chrono::seconds(20), [&] { return requests_.size() >= n; });
}

int FakeSnmpClient::RequestCount() const {
  std::lock_guard lock(mutex_);
  return static_cast<int>(requests_.size());
}

int FakeSnmpClient::RequestCount(const std::string& agent) const {
  std::lock_guard lock(mutex_);
  return static_cast<int>(std::count_if(requests_.begin(), requests_.end(),
                                        [&](const Request& r) { return r.agent == agent; }));
}

std::vector<FakeSnmpClient::Request> FakeSnmpClient::Requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

std::vector<std::string> FakeSnmpClient::Agents() const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> agents;
  for (const Request& r : requests_) agents.push_back(r.agent);
  return agents;
}

void FakeSnmpClient::ClearRequests() {
  std::lock_guard lock(mutex_);
  requests_.clear();
}

int FakeSnmpClient::SnmpGet(const char* agent, const char* community, const char* const* objects,
                            uint8_t* values, uint32_t* lengths, std::size_t slotSize,
                            uint8_t* types) {
  Request request;
  request.agent = agent != nullptr ? agent : "";
  request.community = community != nullptr ? community : "";
  for (const char* const* o = objects; o != nullptr && *o != nullptr; ++o) {
    request.objects.emplace_back(*o);
  }
  request.slotSize = slotSize;

  std::vector<std::string> answer;
  std::vector<uint8_t> answerTypes;
  {
    std::unique_lock lock(mutex_);
    requests_.push_back(request);
    changed_.notify_all();
    changed_.wait(lock, [&] {
      return released_.count(request.agent) != 0 ||
             (!holdAll_ && held_.count(request.agent) == 0);
    });
    if (failing_) return failResult_;
    if (remainingBeforeFailure_ == 0) return 0;
    if (remainingBeforeFailure_ > 0) --remainingBeforeFailure_;
    if (request.objects.empty()) return 0;
    // An agent that knows nothing under this community is silent, as SNMPv1 agents are.
    const auto known = values_.lower_bound(Key{request.agent, request.community, ""});
    if (known == values_.end() || std::get<0>(known->first) != request.agent ||
        std::get<1>(known->first) != request.community) {
      return kSnmpNoAnswer;
    }
    for (const std::string& oid : request.objects) {
      auto it = values_.find(Key{request.agent, request.community, oid});
      if (it == values_.end()) return 0;  // v1: one missing object fails the whole get
      answer.push_back(it->second);
      answerTypes.push_back(types_[it->first]);
    }
  }
  for (std::size_t i = 0; i < answer.size(); ++i) {
    const std::size_t n = std::min(answer[i].size(), slotSize);
    if (n > 0) std::memcpy(values + slotSize * i, answer[i].data(), n);
    lengths[i] = static_cast<uint32_t>(n);
    if (types != nullptr) types[i] = answerTypes[i];
  }
  return 1;
}

}  // namespace pathmon::testing
