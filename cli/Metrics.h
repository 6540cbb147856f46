// SPDX-License-Identifier: Apache-2.0
#pragma once
// The run's figures as Prometheus metrics (kMetricFamilies declares them, docs/monitoring.md
// describes them): counters that follow each running cycle, per-cycle gauges, the round-trip
// histogram, each phone's description, the scans' gauges and the build, kept in one
// prometheus-cpp registry that an HTTP exposer serves and that can be written out as a text
// exposition for node_exporter's textfile collector.
//
// Two sources feed it. As a TestObserver it hears every test's start, cycle results and end
// (on the tests' threads). Poll, called at least every 2 seconds for each running test (by
// MetricsPoller), turns the growth of the running cycle's figures into counter increments
// and feeds the live voice figures and the echo silence. The lost counter counts a frame
// when it has gone the grace (200 ms) without an echo, as the running figures do; an echo
// that still comes counts in the late counter, since a counter never goes down. Nor does a
// counter count a frame twice: the figures already counted for a cycle are remembered; a
// poll that sees fewer frames sent (the test has begun its next cycle, whose predecessor's
// result is still on its way) adds nothing; the cycle result adds what its final figures hold
// beyond the counted ones. A poll reads the test and counts under one lock that the cycle
// result also takes, so figures read before a cycle ended are never counted after its result;
// and the figures a test leaves in place after its last cycle result (as many frames sent as
// that cycle, or more), or reads outside its start and end events, count nothing.
//
// Contract: thread-safe; every method may be called from any thread.

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <variant>
#include <vector>

#include "discovery/PhoneListMgr.h"
#include "engine/InterruptionCorrelator.h"
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

enum class MetricType { kCounter, kGauge, kHistogram };

// When a phone's series of a family appears: with the phone, as soon as it is registered or
// its test starts (counters at 0, so that rates and absent-series alerts work from the
// start; only for a family labelled by site and serial alone), or with its first value (a
// figure that does not exist yet is left out rather than shown as 0: a phone not yet judged
// is not "not usable").
enum class Appears { kWithPhone, kWithValue };

// One metric family: its name, type, help text and its series' labels. A family whose labels
// begin with site and serial is a phone's; its further labels are given with each value.
struct MetricFamily {
  const char* name;
  MetricType type;
  const char* labels;  // label names, comma-separated, in order
  const char* help;
  Appears appears = Appears::kWithValue;
  const std::vector<double>* buckets = nullptr;  // a histogram's upper bounds
};

// Every family the exposition holds, declared once; docs/monitoring.md describes each.
// Descriptive labels that may change (a phone's user, address, model, firmware) are on
// pathmon_phone_info only, so a phone that changes hands keeps its series.
inline constexpr MetricType kCounter = MetricType::kCounter;
inline constexpr MetricType kGauge = MetricType::kGauge;
inline constexpr MetricType kHistogram = MetricType::kHistogram;
inline constexpr Appears kWithPhone = Appears::kWithPhone;
inline constexpr auto kMetricFamilies = std::to_array<MetricFamily>({
    {"pathmon_frames_sent_total", kCounter, "site,serial", "Test frames sent to the phone.",
     kWithPhone},
    {"pathmon_frames_lost_total", kCounter, "site,serial",
     "Test frames counted lost: no echo 200 ms after they were sent.", kWithPhone},
    {"pathmon_echoes_late_total", kCounter, "site,serial",
     "Echoes of frames already counted lost; lost minus late is the cycles' LOST.", kWithPhone},
    {"pathmon_frames_delayed_total", kCounter, "site,serial",
     "Echoes with a round-trip time over 400 ms.", kWithPhone},
    {"pathmon_interruptions_total", kCounter, "site,serial",
     "Loss windows of 50 frames with 10 or more missing.", kWithPhone},
    {"pathmon_rtt_seconds", kHistogram, "site,serial", "Round-trip time of each echoed test frame.",
     kWithPhone, &kRttBucketsSeconds},
    {"pathmon_jitter_seconds", kGauge, "site,serial",
     "RFC 3550 interarrival jitter of the running cycle's echoes."},
    {"pathmon_window_mos", kGauge, "site,serial",
     "E-model MOS of the running cycle's last 10-second window."},
    {"pathmon_cycle_worst_mos", kGauge, "site,serial",
     "Lowest 10-second window MOS of the last cycle."},
    {"pathmon_usable", kGauge, "site,serial",
     "1 when the last cycle was usable for voice, 0 when not."},
    {"pathmon_running", kGauge, "site,serial", "1 while the phone's test runs.", kWithPhone},
    {"pathmon_echo_silence_seconds", kGauge, "site,serial",
     "Seconds since the running test's last echo; 0 while echoes come within 200 ms."},
    {"pathmon_sender_lateness_seconds", kGauge, "site,serial,quantile",
     "How late the last cycle's frames left against their schedule, by quantile."},
    {"pathmon_test_start_failures_total", kCounter, "site,serial,reason",
     "Tests of the phone that could not start, by reason: no-answer (no answer to the control "
     "exchange: the phone is off hook, switched off or unreachable)."},
    {"pathmon_phone_info", kGauge, "site,serial,user,address,model,firmware,dscp",
     "The phone as its test started: user name, address, model, firmware and the DSCP class "
     "of its test frames; always 1."},
    {"pathmon_shared_interruptions_total", kCounter, "scope,site",
     "Interruptions seen together across phones, by scope (phone, site, sites, everywhere); "
     "scope site also names the site."},
    {"pathmon_phones_discovered", kGauge, "site", "Phones the last scan of the site found."},
    {"pathmon_scan_duration_seconds", kGauge, "site", "How long the last scan of the site took."},
    {"pathmon_build_info", kGauge, "version", "The program's version; always 1."},
});

// A family of kMetricFamilies by its name; a name that is not there does not compile.
struct MetricId {
  std::size_t index;
  consteval MetricId(const char* name) : index(IndexOf(name)) {}  // NOLINT: implicit
  static constexpr MetricId At(std::size_t index) { return MetricId(index, 0); }

 private:
  constexpr MetricId(std::size_t at, int) : index(at) {}
  static consteval std::size_t IndexOf(std::string_view name) {
    for (std::size_t i = 0; i < kMetricFamilies.size(); ++i) {
      if (name == kMetricFamilies[i].name) return i;
    }
    throw "no such metric family";  // not a constant expression: the call does not compile
  }
};

// Whether a cycle counts as usable for voice (the run's rule, with --min-mos when given).
using UsableRule = std::function<bool(const CycleResult&)>;
// The directory's entry of a phone by its serial number, false when it has none: the model
// and firmware of pathmon_phone_info.
using PhoneLookup = std::function<bool(const std::string& serial, PhoneEntry& entry)>;

class FleetMetrics final : public TestObserver, public SharedInterruptionObserver {
 public:
  // lookup: where pathmon_phone_info finds a phone's model and firmware; without it they
  // are left empty.
  explicit FleetMetrics(UsableRule usable, PhoneLookup lookup = {});
  ~FleetMetrics() override;
  FleetMetrics(const FleetMetrics&) = delete;
  FleetMetrics& operator=(const FleetMetrics&) = delete;

  // The site label of the phones' series and of the scans' gauges; set before any event.
  void SetSite(std::string site);
  // The DSCP class (0 to 63) that marks the test frames, for pathmon_phone_info; set
  // before any event.
  void SetDscp(int32_t dscp);
  // Labels a phone's series by its site (the phones of a sites file); phones not named here
  // carry SetSite's label.
  void SetPhoneSite(const std::string& serial, const std::string& site);

  // A phone found, before its first test: its series that appear with the phone (counters
  // at 0, the running gauge) and its description appear at once, and the exposition does not
  // grow as the phones' first tests come round.
  void Register(const TestIdentity& phone);

  // A start of the phone's test that failed; reason: NotTestedName's word.
  void StartFailed(const TestIdentity& phone, const char* reason);

  void OnStarted(const TestStarted& event) override;
  void OnCycleResult(const CycleResult& event) override;
  void OnFinished(const TestFinished& event) override;
  // A shared interruption decided: its scope's counter (and, for scope site, the site's)
  // goes up by one. The scopes' series other than site's are there at 0 from the start, so
  // that the first one is an increase.
  void OnSharedInterruption(const SharedInterruption& interruption) override;

  // The running cycle of a test as a poll reads it. timings may be empty (a backend without
  // them, or nothing sent long enough ago yet): each echo's round trip goes into the histogram
  // once, and every kVoiceEveryPolls polls the frames are assessed for the jitter and the
  // latest window's MOS.
  struct Live {
    TestStatistics stats;
    CycleTimings timings;
    int64_t echoSilenceMs = 0;  // TestSnapshot::echoSilenceMs
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
  using AnyFamily = std::variant<prometheus::Family<prometheus::Counter>*,
                                 prometheus::Family<prometheus::Gauge>*,
                                 prometheus::Family<prometheus::Histogram>*>;
  using AnyMetric =
      std::variant<prometheus::Counter*, prometheus::Gauge*, prometheus::Histogram*>;
  struct PhoneState;
  // The phone's state and series. Its series are labelled by site and serial number, which
  // move it to new series only when it moves to another site; pathmon_phone_info follows
  // the identity a test starts with (and the directory's model and firmware then) when
  // relabel is set and its test does not run: a running test keeps the identity it started
  // with, and a poll never relabels (it reads the directory, which a rescan may have
  // changed), so the description does not flip between two identities. mutex_ held.
  PhoneState& Phone(const TestIdentity& phone, bool relabel = true);
  // The phone's series of a family, made when it is not there yet; extra: the values of
  // the family's labels after site and serial, in order. mutex_ held.
  template <typename Metric>
  Metric& Series(PhoneState& state, MetricId family, const std::vector<std::string>& extra = {});
  // The family's series of these label values, in the order of its label names.
  template <typename Metric>
  Metric& Add(MetricId family, const std::vector<std::string>& values);
  // The shared interruptions' counter of a scope (and a site, for scope site).
  prometheus::Counter& SharedCounter(const std::string& scope, const std::string& site);
  void Describe(PhoneState& state, const TestIdentity& phone);        // mutex_ held
  void Count(PhoneState& state, const TestStatistics& figures);       // mutex_ held
  void CloseCycle(PhoneState& state, const TestStatistics& figures);  // mutex_ held
  void Remove(std::size_t family, const AnyMetric& metric);           // mutex_ held
  void RemoveOne(PhoneState& state, MetricId family);                 // mutex_ held
  void RemoveSeries(PhoneState& state);                               // mutex_ held

  UsableRule usable_;
  PhoneLookup lookup_;
  std::shared_ptr<prometheus::Registry> registry_;
  std::vector<AnyFamily> families_;  // as kMetricFamilies lists them

  std::recursive_mutex cycleMutex_;  // a poll's read and count; a cycle result; before mutex_
  std::mutex mutex_;
  std::string site_;
  int32_t dscp_ = 0;
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

// Why text cannot be listened on, or nothing. It must be "ADDR:PORT" exactly: a dotted IPv4
// address or an IPv6 one in brackets ("[::1]:9464", when the HTTP server was built with
// IPv6), and a port of 1 to 65535. The server itself would also take a list of them, or a port
// alone (every interface).
std::string CheckListenAddress(const std::string& text);

// Threads that serve /metrics: a client that is slow or idle holds one for at most
// kMetricsRequestTimeoutMs, so a scrape finds one free while that many others hold theirs.
inline constexpr int kMetricsServerThreads = 32;
inline constexpr int kMetricsRequestTimeoutMs = 5000;  // for a request's headers, and each read

// Serves a registry's metrics over HTTP at /metrics until destroyed: GET as Prometheus
// scrapes it, HEAD as GET without the content.
class MetricsServer {
 public:
  MetricsServer();
  ~MetricsServer();
  // address as CheckListenAddress takes it; false with error set when it is not, or cannot
  // be listened on.
  bool Listen(const std::string& address, std::shared_ptr<prometheus::Registry> registry,
              std::string& error);

 private:
  std::unique_ptr<prometheus::Exposer> exposer_;
};

}  // namespace pathmon::cli
