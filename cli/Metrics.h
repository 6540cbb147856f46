// SPDX-License-Identifier: Apache-2.0
#pragma once
// The run's figures as Prometheus metrics (docs/monitoring.md lists every one): counters that
// follow each running cycle, per-cycle gauges, the round-trip histogram and the scans' gauges,
// kept in one prometheus-cpp registry that an HTTP exposer serves and that can be written out
// as a text exposition for node_exporter's textfile collector.
//
// Two sources feed it. As a TestObserver it hears every test's start, cycle results and end
// (on the tests' threads). Poll, called at least every 2 seconds for each running test (by
// MetricsPoller), turns the growth of the running cycle's figures into counter increments
// and feeds the live voice figures. A counter never goes down and never counts a frame twice:
// the figures already counted for a cycle are remembered; a poll that sees fewer frames sent
// (the test has begun its next cycle, whose predecessor's result is still on its way) adds
// nothing; the cycle result adds what its final figures hold beyond the counted ones. A poll
// reads the test and counts under one lock that the cycle result also takes, so figures read
// before a cycle ended are never counted after its result; and the figures a test leaves in
// place after its last cycle result (as many frames sent as that cycle, or more), or reads
// outside its start and end events, count nothing.
//
// Contract: thread-safe; every method may be called from any thread.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "frontend/Backend.h"
#include "looptest/LoopTest.h"
#include "looptest/VoiceQuality.h"

namespace prometheus {
class Counter;
class Exposer;
class Gauge;
class Histogram;
class Registry;
template <typename T>
class Family;
}  // namespace prometheus

namespace pathmon::cli {

// The histogram's upper bounds, seconds: the steps at which voice over a path changes
// (ITU-T G.114's 150 ms and 400 ms of one-way delay among them, the round trip being twice
// the one-way delay only in the worst case).
inline const std::vector<double> kRttBucketsSeconds = {0.005, 0.01, 0.02, 0.04, 0.08,
                                                       0.15,  0.3,  0.4,  1};

inline constexpr int kMetricsPollMs = 1000;  // the counters follow a running cycle this often
inline constexpr int kVoiceEveryPolls = 5;    // the jitter and window MOS gauges, this often

// Whether a cycle counts as usable for voice (the run's rule, with --min-mos when given).
using UsableRule = std::function<bool(const CycleResult&)>;

class FleetMetrics final : public TestObserver {
 public:
  explicit FleetMetrics(UsableRule usable);
  ~FleetMetrics() override;
  FleetMetrics(const FleetMetrics&) = delete;
  FleetMetrics& operator=(const FleetMetrics&) = delete;

  // The site label of the phones' series and of the scans' gauges; set before any event.
  void SetSite(std::string site);
  // Labels a phone's series by its site (the phones of a sites file); phones not named here
  // carry SetSite's label.
  void SetPhoneSite(const std::string& serial, const std::string& site);

  // A phone found, before its first test: its counters (at 0) and its running gauge appear
  // at once, so that rates and absent-series alerts work from the start, and the exposition
  // does not grow as the phones' first tests come round.
  void Register(const TestIdentity& phone);

  void OnStarted(const TestStarted& event) override;
  void OnCycleResult(const CycleResult& event) override;
  void OnFinished(const TestFinished& event) override;

  // The running cycle of a test as a poll reads it. timings may be empty (a backend without
  // them, or nothing sent long enough ago yet): each echo's round trip goes into the histogram
  // once, and every kVoiceEveryPolls polls the frames are assessed for the jitter and the
  // latest window's MOS.
  struct Live {
    TestStatistics stats;
    CycleTimings timings;
  };
  // read fills the running cycle's figures, false when the test does not run; it is called
  // under the lock that cycle results take (and may itself deliver one: the lock is
  // recursive).
  void Poll(const TestIdentity& phone, const std::function<bool(Live&)>& read);
  // A phone no longer in the fleet: its series go from the exposition.
  void Drop(const std::string& serial);

  void ScanDone(const std::string& site, int32_t phones, double seconds);

  // Runs after every cycle result has been counted (the metrics file is written there).
  void SetCycleHook(std::function<void()> hook);

  // The text exposition format (version 0.0.4), as /metrics serves it.
  std::string Exposition();
  std::shared_ptr<prometheus::Registry> Registry() { return registry_; }

 private:
  struct Series;
  struct PhoneState;
  // The phone's state and series, labelled by phone when relabel is set and its test does
  // not run: a running test keeps the labels it started with, and a poll never relabels
  // (it reads the directory, which a rescan may have changed), so the series do not flip
  // between two label sets. mutex_ held.
  PhoneState& Phone(const TestIdentity& phone, bool relabel = true);
  void Count(PhoneState& state, const TestStatistics& figures);  // mutex_ held
  void CloseCycle(PhoneState& state, const TestStatistics& figures);  // mutex_ held
  void RemoveSeries(PhoneState& state);                          // mutex_ held

  UsableRule usable_;
  std::shared_ptr<prometheus::Registry> registry_;
  prometheus::Family<prometheus::Counter>& sent_;
  prometheus::Family<prometheus::Counter>& lost_;
  prometheus::Family<prometheus::Counter>& delayed_;
  prometheus::Family<prometheus::Counter>& interruptions_;
  prometheus::Family<prometheus::Histogram>& rtt_;
  prometheus::Family<prometheus::Gauge>& jitter_;
  prometheus::Family<prometheus::Gauge>& windowMos_;
  prometheus::Family<prometheus::Gauge>& worstMos_;
  prometheus::Family<prometheus::Gauge>& usableGauge_;
  prometheus::Family<prometheus::Gauge>& running_;
  prometheus::Family<prometheus::Gauge>& lateness_;
  prometheus::Family<prometheus::Gauge>& discovered_;
  prometheus::Family<prometheus::Gauge>& scanSeconds_;

  std::recursive_mutex cycleMutex_;  // a poll's read and count; a cycle result; before mutex_
  std::mutex mutex_;
  std::string site_;
  std::map<std::string, std::string> phoneSites_;          // by serial number
  std::map<std::string, std::unique_ptr<PhoneState>> phones_;  // by serial number
  std::function<void()> cycleHook_;
};

// Polls every running test of the backend's registry each period on a thread of its own and
// hands its figures to FleetMetrics::Poll, whichever front end runs the tests. Stops and joins
// in its destructor.
class MetricsPoller {
 public:
  MetricsPoller(MainBackend& backend, FleetMetrics& metrics, std::chrono::milliseconds period);
  ~MetricsPoller();
  MetricsPoller(const MetricsPoller&) = delete;
  MetricsPoller& operator=(const MetricsPoller&) = delete;
  void PollOnce();

 private:
  MainBackend& backend_;
  FleetMetrics& metrics_;
  std::chrono::milliseconds period_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stop_ = false;
  std::thread thread_;
};

// Serves a registry's metrics over HTTP at /metrics until destroyed.
class MetricsServer {
 public:
  MetricsServer();
  ~MetricsServer();
  // "ADDR:PORT"; false with error set when the address cannot be listened on.
  bool Listen(const std::string& address, std::shared_ptr<prometheus::Registry> registry,
              std::string& error);

 private:
  std::unique_ptr<prometheus::Exposer> exposer_;
};

}  // namespace pathmon::cli
