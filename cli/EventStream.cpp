// SPDX-License-Identifier: Apache-2.0
#include "cli/EventStream.h"

#include "cli/JsonReport.h"
#include "engine/VoiceHistory.h"
#include "frontend/SharedInterruptionText.h"
#include "transport/FileWrite.h"

namespace pathmon::cli {

EventStream::EventStream(std::ostream& out, std::function<int64_t()> wallSeconds,
                         std::function<bool(const CycleResult&)> usable)
    : out_(&out), wallSeconds_(std::move(wallSeconds)), usable_(std::move(usable)) {}

EventStream::EventStream(std::string path, WriteFailures& failures,
                         std::function<int64_t()> wallSeconds,
                         std::function<bool(const CycleResult&)> usable)
    : path_(std::move(path)),
      failures_(&failures),
      wallSeconds_(std::move(wallSeconds)),
      usable_(std::move(usable)) {}

void EventStream::SetSite(std::string site) {
  std::lock_guard lock(mutex_);
  site_ = std::move(site);
}

void EventStream::SetPhoneSite(const std::string& serial, const std::string& site) {
  std::lock_guard lock(mutex_);
  phoneSites_[serial] = site;
}

OrderedJson EventStream::Begin(const char* type, int64_t wallSeconds) {
  OrderedJson j;
  j["time"] = IsoLocalTime(wallSeconds);
  j["type"] = type;
  return j;
}

void EventStream::Phone(OrderedJson& j, const TestIdentity& phone) {
  auto site = phoneSites_.find(phone.serialNumber);
  j["site"] = Utf8OrLatin1(site == phoneSites_.end() ? site_ : site->second);
  j["serialNumber"] = Utf8OrLatin1(phone.serialNumber);
  j["userName"] = Utf8OrLatin1(phone.userName);
  j["address"] = phone.Address();
}

void EventStream::Write(const OrderedJson& j) {
  if (!good_) return;
  // Every text went through Utf8OrLatin1, so dump() never meets bytes that are not UTF-8.
  const std::string line = j.dump() + "\n";
  if (out_ == nullptr) {
    std::string reason;
    if (!AppendToFile(path_, line, reason)) failures_->Report(path_, reason);
    return;
  }
  out_->write(line.data(), static_cast<std::streamsize>(line.size()));
  out_->flush();
  good_ = static_cast<bool>(*out_);
}

void EventStream::OnStarted(const TestStarted& event) {
  std::lock_guard lock(mutex_);
  OrderedJson j = Begin("test-started", event.wallSeconds);
  Phone(j, event.phone);
  Write(j);
}

void EventStream::OnCycleResult(const CycleResult& event) {
  std::lock_guard lock(mutex_);
  OrderedJson j = Begin("cycle", event.wallSeconds);
  Phone(j, event.phone);
  // The same fields, with the same values, as the cycle in the JSON report.
  const OrderedJson cycle = CycleJson(event.wallSeconds, event.stats);
  for (const auto& [key, value] : cycle.items()) j[key] = value;
  j["usable"] = usable_ ? usable_(event) : false;
  j["voice"] = VoiceJson(event.voice);
  Write(j);
}

void EventStream::OnFinished(const TestFinished& event) {
  std::lock_guard lock(mutex_);
  OrderedJson j = Begin("test-finished", event.wallSeconds);
  Phone(j, event.phone);
  j["reason"] = TestEndName(event.reason);
  Write(j);
}

void EventStream::OnSharedInterruption(const SharedInterruption& interruption) {
  const OrderedJson fields = SharedInterruptionJson(interruption);
  std::lock_guard lock(mutex_);
  OrderedJson j = Begin("shared-interruption", wallSeconds_());
  for (const auto& [key, value] : fields.items()) j[key] = value;
  Write(j);
}

void EventStream::ScanStarted(const std::string& site, const std::string& first,
                              const std::string& last) {
  std::lock_guard lock(mutex_);
  OrderedJson j = Begin("scan-started", wallSeconds_());
  j["site"] = Utf8OrLatin1(site);
  j["range"] = Utf8OrLatin1(first + "-" + last);
  Write(j);
}

void EventStream::ScanFinished(const std::string& site, const std::string& first,
                               const std::string& last, int32_t phones, double seconds) {
  std::lock_guard lock(mutex_);
  OrderedJson j = Begin("scan-finished", wallSeconds_());
  j["site"] = Utf8OrLatin1(site);
  j["range"] = Utf8OrLatin1(first + "-" + last);
  j["phonesFound"] = phones;
  j["seconds"] = seconds;
  Write(j);
}

void EventStream::Retry(const std::string& serial, const std::string& user,
                        const std::string& address, const std::string& reason,
                        int64_t waitMinutes) {
  std::lock_guard lock(mutex_);
  OrderedJson j = Begin("retry", wallSeconds_());
  auto site = phoneSites_.find(serial);
  j["site"] = Utf8OrLatin1(site == phoneSites_.end() ? site_ : site->second);
  j["serialNumber"] = Utf8OrLatin1(serial);
  j["userName"] = Utf8OrLatin1(user);
  j["address"] = Utf8OrLatin1(address);
  j["reason"] = reason;
  j["waitMinutes"] = waitMinutes >= 0 ? OrderedJson(waitMinutes) : OrderedJson(nullptr);
  Write(j);
}

void EventStream::NotTested(const TestIdentity& phone, const char* reason,
                            const std::string& message) {
  std::lock_guard lock(mutex_);
  OrderedJson j = Begin("not-tested", wallSeconds_());
  Phone(j, phone);
  j["reason"] = reason;
  j["message"] = Utf8OrLatin1(message);
  Write(j);
}

void EventStream::FleetChange(const std::string& type, const std::string& serial) {
  std::lock_guard lock(mutex_);
  OrderedJson j = Begin(type.c_str(), wallSeconds_());
  auto site = phoneSites_.find(serial);
  j["site"] = Utf8OrLatin1(site == phoneSites_.end() ? site_ : site->second);
  j["serialNumber"] = Utf8OrLatin1(serial);
  Write(j);
}

void EventStream::RunEnded(int exitStatus, bool interrupted) {
  std::lock_guard lock(mutex_);
  OrderedJson j = Begin("run-end", wallSeconds_());
  j["exitStatus"] = exitStatus;
  j["interrupted"] = interrupted;
  Write(j);
}

bool EventStream::Good() {
  std::lock_guard lock(mutex_);
  return good_;
}

}  // namespace pathmon::cli
