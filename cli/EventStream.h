// SPDX-License-Identifier: Apache-2.0
#pragma once
// --jsonl: the run as a stream of JSON objects, one a line, written as things happen: scans,
// tests started, every cycle result with its figures, the interruptions seen together,
// retries, tests finished with their reason and the run's end. Every object has "time" (ISO
// 8601, local time with its offset) and "type"; docs/cli.md lists the types and their
// fields. A reader may parse each line on its own: a line is written whole or not at all,
// and ends with "\n".
//
// Contract: thread-safe; the observer calls come from the tests' threads.

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <ostream>
#include <string>

#include <nlohmann/json.hpp>

#include "engine/InterruptionCorrelator.h"
#include "looptest/LoopTest.h"

namespace pathmon {
class Clock;
class WriteFailures;
}  // namespace pathmon

namespace pathmon::cli {

class EventStream final : public TestObserver, public SharedInterruptionObserver {
 public:
  // out must outlive the stream; wallSeconds labels the events that carry no time.
  EventStream(std::ostream& out, std::function<int64_t()> wallSeconds,
              std::function<bool(const CycleResult&)> usable);
  // Appends every line to the file at path as the history writer does (AppendToFile: only
  // to a regular file, a line cut by a full disk taken back). A line that cannot be written
  // is lost and reported to failures, which must outlive the stream; the next line tries
  // again.
  EventStream(std::string path, WriteFailures& failures, std::function<int64_t()> wallSeconds,
              std::function<bool(const CycleResult&)> usable);

  void SetSite(std::string site);
  void SetPhoneSite(const std::string& serial, const std::string& site);

  void OnStarted(const TestStarted& event) override;
  void OnCycleResult(const CycleResult& event) override;
  void OnFinished(const TestFinished& event) override;
  // "shared-interruption", the report's object (frontend/SharedInterruptionText.h) at the
  // time it was decided.
  void OnSharedInterruption(const SharedInterruption& interruption) override;

  void ScanStarted(const std::string& site, const std::string& first, const std::string& last);
  void ScanFinished(const std::string& site, const std::string& first, const std::string& last,
                    int32_t phones, double seconds);
  // "not-tested": a phone whose start failed, that the run set aside, or that an interruption
  // kept from its turn, with the reason as a word (NotTestedName) and in words.
  void NotTested(const TestIdentity& phone, const char* reason, const std::string& message);
  // A phone whose start failed or whose test ended at once, tried again after waitMinutes
  // (monitor; -1: not tried again, the phone left the fleet, "waitMinutes" null).
  void Retry(const std::string& serial, const std::string& user, const std::string& address,
             const std::string& reason, int64_t waitMinutes);
  // A phone that joined the fleet or left it at a rescan (monitor).
  void FleetChange(const std::string& type, const std::string& serial);
  void RunEnded(int exitStatus, bool interrupted);

  // On a stream: false once a write failed (a closed pipe, a full disk); the stream then
  // stays silent. A file's failures are in its WriteFailures.
  bool Good();

 private:
  using OrderedJson = nlohmann::ordered_json;  // "time" and "type" first
  OrderedJson Begin(const char* type, int64_t wallSeconds);
  void Phone(OrderedJson& j, const TestIdentity& phone);  // mutex_ held
  void Write(const OrderedJson& j);

  std::mutex mutex_;
  std::ostream* out_ = nullptr;  // nullptr: the file at path_
  std::string path_;
  WriteFailures* failures_ = nullptr;
  std::function<int64_t()> wallSeconds_;
  std::function<bool(const CycleResult&)> usable_;
  std::string site_;
  std::map<std::string, std::string> phoneSites_;
  bool good_ = true;
};

}  // namespace pathmon::cli
