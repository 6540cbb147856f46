// SPDX-License-Identifier: Apache-2.0
#include "cli/Metrics.h"

#include "discovery/PhoneListMgr.h"
#include "frontend/Fleet.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>
#include <sstream>
#include <stdexcept>
#include <type_traits>

#include <prometheus/counter.h>
#include <prometheus/exposer.h>
#include <prometheus/family.h>
#include <prometheus/gauge.h>
#include <prometheus/histogram.h>
#include <prometheus/registry.h>
#include <prometheus/text_serializer.h>

#include <CivetServer.h>
#include <civetweb.h>

#include "Version.h"
#include "frontend/RunReport.h"

namespace pathmon::cli {

namespace {

using prometheus::Counter;
using prometheus::Gauge;
using prometheus::Histogram;

std::vector<std::string> LabelNames(const MetricFamily& family) {
  std::vector<std::string> names;
  std::string_view text = family.labels;
  for (std::size_t comma; (comma = text.find(',')) != std::string_view::npos;) {
    names.emplace_back(text.substr(0, comma));
    text.remove_prefix(comma + 1);
  }
  names.emplace_back(text);
  return names;
}

template <typename Metric>
Metric& AddTo(prometheus::Family<Metric>& family, const MetricFamily& declared,
              const prometheus::Labels& labels) {
  if constexpr (std::is_same_v<Metric, Histogram>) {
    return family.Add(labels, Histogram::BucketBoundaries(*declared.buckets));
  } else {
    return family.Add(labels);
  }
}

// A phone's text as a label value: the exposition is UTF-8, and a phone's bytes are of no
// known encoding (one invalid byte would fail the whole scrape).
std::string LabelText(const char* bytes) { return Utf8OrLatin1(bytes); }

}  // namespace

struct FleetMetrics::PhoneState {
  prometheus::Labels labels;  // site and serial
  // The phone's series, by family (index into kMetricFamilies) and the values of the
  // family's further labels.
  std::map<std::pair<std::size_t, std::vector<std::string>>, AnyMetric> series;
  // What the counters hold of the current cycle so far.
  int64_t sent = 0, lost = 0, late = 0, delayed = 0, interruptions = 0;
  // Between the test's start and its end: the figures a poll reads belong to it. The test
  // still shows itself running, with its last cycle's figures, for a moment after its end.
  bool live = false;
  // Frames sent in the cycle the last result closed, until a poll sees fewer: a test leaves
  // its last cycle's figures in place, and they must not count again. -1: none.
  int64_t closedSent = -1;
  // The cycle whose round trips the histogram has taken (by its start instant), and which of
  // its frames it has taken, by index.
  int64_t timingsStartNs = -1;
  std::vector<bool> observed;
  int64_t pollsSinceVoice = 0;
};

FleetMetrics::FleetMetrics(UsableRule usable, PhoneLookup lookup)
    : usable_(std::move(usable)),
      lookup_(std::move(lookup)),
      registry_(std::make_shared<prometheus::Registry>()) {
  for (const MetricFamily& f : kMetricFamilies) {
    switch (f.type) {
      case MetricType::kCounter:
        families_.emplace_back(
            &prometheus::BuildCounter().Name(f.name).Help(f.help).Register(*registry_));
        break;
      case MetricType::kGauge:
        families_.emplace_back(
            &prometheus::BuildGauge().Name(f.name).Help(f.help).Register(*registry_));
        break;
      case MetricType::kHistogram:
        families_.emplace_back(
            &prometheus::BuildHistogram().Name(f.name).Help(f.help).Register(*registry_));
        break;
    }
  }
  Add<Gauge>("pathmon_build_info", {kVersion}).Set(1);
  for (InterruptionScope scope : {InterruptionScope::kPhone, InterruptionScope::kSites,
                                  InterruptionScope::kEverywhere}) {
    SharedCounter(InterruptionScopeName(scope), "");
  }
}

prometheus::Counter& FleetMetrics::SharedCounter(const std::string& scope,
                                                 const std::string& site) {
  constexpr MetricId kShared = "pathmon_shared_interruptions_total";
  // A scope other than site has no site: its series carries the scope alone.
  prometheus::Labels labels{{"scope", scope}};
  if (!site.empty()) labels.emplace("site", LabelText(site.c_str()));
  return std::get<prometheus::Family<Counter>*>(families_[kShared.index])->Add(labels);
}

void FleetMetrics::OnSharedInterruption(const SharedInterruption& interruption) {
  std::lock_guard lock(mutex_);
  SharedCounter(InterruptionScopeName(interruption.scope), interruption.Site()).Increment();
}

template <typename Metric>
Metric& FleetMetrics::Add(MetricId family, const std::vector<std::string>& values) {
  const MetricFamily& declared = kMetricFamilies[family.index];
  const std::vector<std::string> names = LabelNames(declared);
  if (names.size() != values.size()) {
    throw std::logic_error(std::string(declared.name) + ": " + std::to_string(values.size()) +
                           " label values for " + declared.labels);
  }
  prometheus::Labels labels;
  for (std::size_t i = 0; i < names.size(); ++i) labels.emplace(names[i], values[i]);
  return AddTo(*std::get<prometheus::Family<Metric>*>(families_[family.index]), declared, labels);
}

template <typename Metric>
Metric& FleetMetrics::Series(PhoneState& state, MetricId family,
                             const std::vector<std::string>& extra) {
  AnyMetric& metric = state.series[{family.index, extra}];
  if (Metric** known = std::get_if<Metric*>(&metric); known != nullptr && *known != nullptr) {
    return **known;
  }
  std::vector<std::string> values = {state.labels.at("site"), state.labels.at("serial")};
  values.insert(values.end(), extra.begin(), extra.end());
  Metric& made = Add<Metric>(family, values);
  metric = &made;
  return made;
}

FleetMetrics::~FleetMetrics() = default;

void FleetMetrics::SetSite(std::string site) {
  std::lock_guard lock(mutex_);
  site_ = std::move(site);
}

void FleetMetrics::SetDscp(int32_t dscp) {
  std::lock_guard lock(mutex_);
  dscp_ = dscp;
}

void FleetMetrics::SetPhoneSite(const std::string& serial, const std::string& site) {
  std::lock_guard lock(mutex_);
  phoneSites_[serial] = site;
}

void FleetMetrics::SetCycleHook(std::function<void()> hook) {
  std::lock_guard lock(mutex_);
  cycleHook_ = std::move(hook);
}

FleetMetrics::PhoneState& FleetMetrics::Phone(const TestIdentity& phone, bool relabel) {
  auto site = phoneSites_.find(phone.serialNumber);
  const prometheus::Labels labels{{"site", site == phoneSites_.end() ? site_ : site->second},
                                  {"serial", phone.serialNumber}};
  std::unique_ptr<PhoneState>& state = phones_[phone.serialNumber];
  if (!state) {
    state = std::make_unique<PhoneState>();
  } else if (state->live || !relabel) {
    return *state;
  }
  // A phone that moved to another site is one series under its new labels; the old ones
  // would otherwise stay in the exposition forever, frozen.
  if (state->labels != labels) {
    RemoveSeries(*state);
    state->labels = labels;
  }
  if (state->series.empty()) {
    for (std::size_t i = 0; i < kMetricFamilies.size(); ++i) {
      const MetricFamily& f = kMetricFamilies[i];
      if (f.appears != Appears::kWithPhone || std::string_view(f.labels) != "site,serial") {
        continue;
      }
      const MetricId family = MetricId::At(i);
      if (f.type == MetricType::kCounter) Series<Counter>(*state, family);
      if (f.type == MetricType::kGauge) Series<Gauge>(*state, family);
      if (f.type == MetricType::kHistogram) Series<Histogram>(*state, family);
    }
  }
  Describe(*state, phone);
  return *state;
}

void FleetMetrics::Describe(PhoneState& state, const TestIdentity& phone) {
  PhoneEntry entry{};
  const bool known = lookup_ && lookup_(phone.serialNumber, entry);
  const std::vector<std::string> values = {LabelText(phone.userName.c_str()), phone.Address(),
                                           known ? LabelText(entry.probeText1) : "",
                                           known ? LabelText(entry.probeText2) : "",
                                           std::to_string(dscp_)};
  const MetricId info{"pathmon_phone_info"};
  for (auto it = state.series.begin(); it != state.series.end(); ++it) {
    if (it->first.first != info.index) continue;
    if (it->first.second == values) return;
    // One description a phone: the one it had goes.
    Remove(info.index, it->second);
    state.series.erase(it);
    break;
  }
  Series<Gauge>(state, info, values).Set(1);
}

void FleetMetrics::Remove(std::size_t family, const AnyMetric& metric) {
  std::visit(
      [this, family](auto* series) {
        using Metric = std::remove_pointer_t<decltype(series)>;
        if (series != nullptr) {
          std::get<prometheus::Family<Metric>*>(families_[family])->Remove(series);
        }
      },
      metric);
}

void FleetMetrics::RemoveOne(PhoneState& state, MetricId family) {
  const auto it = state.series.find({family.index, {}});
  if (it == state.series.end()) return;
  Remove(family.index, it->second);
  state.series.erase(it);
}

void FleetMetrics::RemoveSeries(PhoneState& state) {
  for (const auto& [key, metric] : state.series) Remove(key.first, metric);
  state.series.clear();
}

void FleetMetrics::Count(PhoneState& state, const TestStatistics& figures) {
  if (state.closedSent >= 0) {
    if (figures.sent >= state.closedSent) return;
    state.closedSent = -1;
  }
  // Fewer frames than counted: a newer cycle, counted once the older one's result came.
  if (figures.sent < state.sent) return;
  auto add = [this, &state](MetricId family, int64_t& counted, int64_t now) {
    if (now > counted) {
      Series<Counter>(state, family).Increment(static_cast<double>(now - counted));
      counted = now;
    }
  };
  add("pathmon_frames_sent_total", state.sent, figures.sent);
  add("pathmon_frames_lost_total", state.lost, figures.lostCounted);
  add("pathmon_echoes_late_total", state.late, figures.lateEchoes);
  add("pathmon_frames_delayed_total", state.delayed, figures.delayed);
  add("pathmon_interruptions_total", state.interruptions, figures.interruptions);
}

void FleetMetrics::CloseCycle(PhoneState& state, const TestStatistics& figures) {
  state.closedSent = -1;
  Count(state, figures);
  state.sent = state.lost = state.late = state.delayed = state.interruptions = 0;
  state.closedSent = figures.sent > 0 ? figures.sent : -1;
}

void FleetMetrics::Register(const TestIdentity& phone) {
  std::lock_guard lock(mutex_);
  Phone(phone);
}

void FleetMetrics::StartFailed(const TestIdentity& phone, const char* reason) {
  std::lock_guard lock(mutex_);
  Series<Counter>(Phone(phone), "pathmon_test_start_failures_total", {reason}).Increment();
}

void FleetMetrics::OnStarted(const TestStarted& event) {
  std::lock_guard cycle(cycleMutex_);
  std::lock_guard lock(mutex_);
  if (auto it = phones_.find(event.phone.serialNumber); it != phones_.end()) {
    it->second->live = false;  // a new test: its own labels
  }
  PhoneState& state = Phone(event.phone);
  state.sent = state.lost = state.late = state.delayed = state.interruptions = 0;
  state.closedSent = -1;
  state.live = true;
  state.timingsStartNs = -1;
  state.observed.clear();
  Series<Gauge>(state, "pathmon_running").Set(1);
}

void FleetMetrics::OnCycleResult(const CycleResult& event) {
  std::function<void()> hook;
  {
    std::lock_guard cycle(cycleMutex_);
    std::lock_guard lock(mutex_);
    PhoneState& state = Phone(event.phone);
    CloseCycle(state, event.stats);
    Series<Gauge>(state, "pathmon_usable").Set(usable_ && usable_(event) ? 1 : 0);
    // A cycle that sent nothing has no voice figures to show.
    if (event.voice.loss.sent > 0) {
      Series<Gauge>(state, "pathmon_cycle_worst_mos").Set(event.voice.worstWindowMos);
      Series<Gauge>(state, "pathmon_sender_lateness_seconds", {"0.99"})
          .Set(event.voice.sender.latenessP99Us / 1e6);
    }
    hook = cycleHook_;
  }
  if (hook) hook();
}

void FleetMetrics::OnFinished(const TestFinished& event) {
  std::lock_guard cycle(cycleMutex_);
  std::lock_guard lock(mutex_);
  PhoneState& state = Phone(event.phone);
  state.live = false;
  Series<Gauge>(state, "pathmon_running").Set(0);
  RemoveOne(state, "pathmon_echo_silence_seconds");  // absent while no test runs
}

void FleetMetrics::Poll(const TestIdentity& phone, const std::function<bool(Live&)>& read) {
  std::lock_guard cycle(cycleMutex_);
  Live live;
  if (!read(live)) return;
  const CycleTimings& timings = live.timings;
  std::lock_guard lock(mutex_);
  PhoneState& state = Phone(phone, false);
  if (!state.live) return;
  Count(state, live.stats);
  Series<Gauge>(state, "pathmon_echo_silence_seconds")
      .Set(static_cast<double>(live.echoSilenceMs) / 1e3);
  if (!timings.frames.empty()) {
    Histogram& rtt = Series<Histogram>(state, "pathmon_rtt_seconds");
    if (timings.startNs != state.timingsStartNs) {
      state.timingsStartNs = timings.startNs;
      state.observed.assign(timings.frames.size(), false);
    }
    if (state.observed.size() < timings.frames.size()) {
      state.observed.resize(timings.frames.size(), false);
    }
    for (std::size_t i = 0; i < timings.frames.size(); ++i) {
      const FrameTiming& frame = timings.frames[i];
      if (state.observed[i] || !frame.Received()) continue;
      state.observed[i] = true;
      rtt.Observe(static_cast<double>(frame.arrivalNs - frame.sendNs) / 1e9);
    }
  }
  // Assessing sorts the cycle's round trips: the gauges follow every few polls only.
  if (!timings.frames.empty() && state.pollsSinceVoice++ % kVoiceEveryPolls == 0) {
    const VoiceQuality voice = AssessCycle(timings);
    Series<Gauge>(state, "pathmon_jitter_seconds").Set(voice.jitterUs / 1e6);
    if (!voice.windows.empty()) {
      Series<Gauge>(state, "pathmon_window_mos").Set(voice.windows.back().score.mos);
    }
  }
}

void FleetMetrics::Drop(const std::string& serial) {
  std::lock_guard lock(mutex_);
  auto it = phones_.find(serial);
  if (it == phones_.end()) return;
  RemoveSeries(*it->second);
  phones_.erase(it);
}

void FleetMetrics::ScanDone(const std::string& site, int32_t phones, double seconds) {
  Add<Gauge>("pathmon_phones_discovered", {site}).Set(phones);
  Add<Gauge>("pathmon_scan_duration_seconds", {site}).Set(seconds);
}

std::string FleetMetrics::Exposition() {
  std::ostringstream text;
  prometheus::TextSerializer().Serialize(text, registry_->Collect());
  return text.str();
}

MetricsPoller::MetricsPoller(MainBackend& backend, FleetMetrics& metrics,
                             std::chrono::milliseconds period)
    : backend_(backend), metrics_(metrics), period_(period) {
  thread_ = std::thread([this] {
    std::unique_lock lock(mutex_);
    while (!wake_.wait_for(lock, period_, [this] { return stop_; })) {
      lock.unlock();
      PollOnce();
      lock.lock();
    }
  });
}

MetricsPoller::~MetricsPoller() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

void MetricsPoller::PollOnce() {
  for (const FleetPhone& phone : FleetSnapshot(backend_)) {
    if (!phone.listed) continue;
    metrics_.Poll(phone.Identity(), [this, test = phone.test](FleetMetrics::Live& live) {
      const TestSnapshot snapshot = backend_.Snapshot(*test);
      if (!snapshot.running) return false;
      live.stats = snapshot.stats;
      live.echoSilenceMs = snapshot.echoSilenceMs;
      live.timings = backend_.Timings(*test);
      return true;
    });
  }
}

MetricsServer::MetricsServer() = default;
MetricsServer::~MetricsServer() = default;

std::string CheckListenAddress(const std::string& text) {
  const std::string wrong =
      text + " is no ADDR:PORT (an IPv4 address, or an IPv6 one in brackets, and a port: for "
             "example 127.0.0.1:9464)";
  const std::size_t colon = text.rfind(':');
  if (colon == std::string::npos) return wrong;
  const std::string host = text.substr(0, colon);
  const std::string port = text.substr(colon + 1);
  if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != port.npos ||
      std::stoi(port) < 1 || std::stoi(port) > 65535) {
    return wrong;
  }
  in_addr v4{};
  in6_addr v6{};
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
    if (::inet_pton(AF_INET6, host.substr(1, host.size() - 2).c_str(), &v6) != 1) return wrong;
    constexpr unsigned kIpv6Feature = 8;  // mg_check_feature's bit for IPv6
    if (mg_check_feature(kIpv6Feature) == 0) {
      return text + ": the HTTP server of this build (civetweb) has no IPv6; give an IPv4 "
                    "address";
    }
    return {};
  }
  return ::inet_pton(AF_INET, host.c_str(), &v4) == 1 ? std::string() : wrong;
}

namespace {

// As prometheus-cpp's endpoint answers a GET.
constexpr const char* kExpositionContentType = "text/plain; charset=utf-8";

// HEAD /metrics, which prometheus-cpp's endpoint (GET only) would answer 404: the status and
// content type a GET gets, without the content (and so without its length, which only making
// the exposition would tell). civetweb asks this first for every request; 0 leaves the request
// to civetweb and the endpoint.
int AnswerHead(mg_connection* connection) {
  const mg_request_info* request = mg_get_request_info(connection);
  if (request == nullptr || request->request_method == nullptr ||
      request->local_uri == nullptr || std::strcmp(request->request_method, "HEAD") != 0 ||
      std::strcmp(request->local_uri, "/metrics") != 0) {
    return 0;
  }
  mg_response_header_start(connection, 200);
  mg_response_header_add(connection, "Content-Type", kExpositionContentType, -1);
  mg_response_header_send(connection);
  return 200;
}

}  // namespace

bool MetricsServer::Listen(const std::string& address,
                           std::shared_ptr<prometheus::Registry> registry, std::string& error) {
  if (std::string message = CheckListenAddress(address); !message.empty()) {
    error = "--metrics-listen: " + message;
    return false;
  }
  CivetCallbacks callbacks{};
  callbacks.begin_request = AnswerHead;
  try {
    // An idle or trickling client holds a thread until its request times out; a scrape needs
    // one left free.
    exposer_ = std::make_unique<prometheus::Exposer>(
        std::vector<std::string>{"listening_ports", address, "num_threads",
                                 std::to_string(kMetricsServerThreads), "request_timeout_ms",
                                 std::to_string(kMetricsRequestTimeoutMs)},
        &callbacks);
  } catch (const std::exception& e) {
    error = "--metrics-listen: cannot listen on " + address + ": " + e.what();
    return false;
  }
  exposer_->RegisterCollectable(registry);
  return true;
}

}  // namespace pathmon::cli
