// SPDX-License-Identifier: Apache-2.0
#include "cli/Metrics.h"

#include "discovery/PhoneListMgr.h"
#include "frontend/Fleet.h"

#include <arpa/inet.h>

#include <algorithm>
#include <sstream>

#include <prometheus/counter.h>
#include <prometheus/exposer.h>
#include <prometheus/family.h>
#include <prometheus/gauge.h>
#include <prometheus/histogram.h>
#include <prometheus/registry.h>
#include <prometheus/text_serializer.h>

namespace pathmon::cli {

namespace {

using prometheus::BuildCounter;
using prometheus::BuildGauge;
using prometheus::BuildHistogram;

}  // namespace

struct FleetMetrics::Series {
  prometheus::Counter* sent = nullptr;
  prometheus::Counter* lost = nullptr;
  prometheus::Counter* delayed = nullptr;
  prometheus::Counter* interruptions = nullptr;
  prometheus::Histogram* rtt = nullptr;
  prometheus::Gauge* jitter = nullptr;
  prometheus::Gauge* windowMos = nullptr;
  prometheus::Gauge* worstMos = nullptr;
  prometheus::Gauge* usable = nullptr;
  prometheus::Gauge* running = nullptr;
  prometheus::Gauge* lateness = nullptr;
};

namespace {

// The gauges of a figure that does not exist yet (no cycle result, no echo) are left out of
// the exposition rather than shown as 0: a phone not yet judged is not "not usable".
void SetGauge(prometheus::Family<prometheus::Gauge>& family, prometheus::Gauge*& gauge,
              const prometheus::Labels& labels, double value) {
  if (gauge == nullptr) gauge = &family.Add(labels);
  gauge->Set(value);
}

}  // namespace

struct FleetMetrics::PhoneState {
  prometheus::Labels labels;
  Series series;
  // What the counters hold of the current cycle so far.
  int64_t sent = 0, lost = 0, delayed = 0, interruptions = 0;
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

FleetMetrics::FleetMetrics(UsableRule usable)
    : usable_(std::move(usable)),
      registry_(std::make_shared<prometheus::Registry>()),
      sent_(BuildCounter()
                .Name("pathmon_frames_sent_total")
                .Help("Test frames sent to the phone.")
                .Register(*registry_)),
      lost_(BuildCounter()
                .Name("pathmon_frames_lost_total")
                .Help("Test frames whose echo did not come back.")
                .Register(*registry_)),
      delayed_(BuildCounter()
                   .Name("pathmon_frames_delayed_total")
                   .Help("Echoes with a round-trip time over 400 ms.")
                   .Register(*registry_)),
      interruptions_(BuildCounter()
                         .Name("pathmon_interruptions_total")
                         .Help("Loss windows of 50 frames with 10 or more missing.")
                         .Register(*registry_)),
      rtt_(BuildHistogram()
               .Name("pathmon_rtt_seconds")
               .Help("Round-trip time of each echoed test frame.")
               .Register(*registry_)),
      jitter_(BuildGauge()
                  .Name("pathmon_jitter_seconds")
                  .Help("RFC 3550 interarrival jitter of the running cycle's echoes.")
                  .Register(*registry_)),
      windowMos_(BuildGauge()
                     .Name("pathmon_window_mos")
                     .Help("E-model MOS of the running cycle's last 10-second window.")
                     .Register(*registry_)),
      worstMos_(BuildGauge()
                    .Name("pathmon_cycle_worst_mos")
                    .Help("Lowest 10-second window MOS of the last cycle.")
                    .Register(*registry_)),
      usableGauge_(BuildGauge()
                       .Name("pathmon_usable")
                       .Help("1 when the last cycle was usable for voice, 0 when not.")
                       .Register(*registry_)),
      running_(BuildGauge()
                   .Name("pathmon_running")
                   .Help("1 while the phone's test runs.")
                   .Register(*registry_)),
      lateness_(BuildGauge()
                    .Name("pathmon_sender_lateness_p99_seconds")
                    .Help("99th percentile of how late the last cycle's frames left.")
                    .Register(*registry_)),
      discovered_(BuildGauge()
                      .Name("pathmon_phones_discovered")
                      .Help("Phones the last scan of the site found.")
                      .Register(*registry_)),
      scanSeconds_(BuildGauge()
                       .Name("pathmon_scan_duration_seconds")
                       .Help("How long the last scan of the site took.")
                       .Register(*registry_)) {}

FleetMetrics::~FleetMetrics() = default;

void FleetMetrics::SetSite(std::string site) {
  std::lock_guard lock(mutex_);
  site_ = std::move(site);
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
  prometheus::Labels labels{{"site", site == phoneSites_.end() ? site_ : site->second},
                            {"serial", phone.serialNumber},
                            {"user", phone.userName},
                            {"address", phone.Address()}};
  std::unique_ptr<PhoneState>& state = phones_[phone.serialNumber];
  if (state && (state->labels == labels || state->live || !relabel)) return *state;
  // A phone that came back with another user name or address is one series under its new
  // labels; the old ones would otherwise stay in the exposition forever, frozen.
  if (state) RemoveSeries(*state);
  else state = std::make_unique<PhoneState>();
  state->labels = labels;
  Series& s = state->series;
  s.sent = &sent_.Add(labels);
  s.lost = &lost_.Add(labels);
  s.delayed = &delayed_.Add(labels);
  s.interruptions = &interruptions_.Add(labels);
  s.rtt = &rtt_.Add(labels, prometheus::Histogram::BucketBoundaries(kRttBucketsSeconds));
  s.running = &running_.Add(labels);
  return *state;
}

void FleetMetrics::RemoveSeries(PhoneState& state) {
  Series& s = state.series;
  if (s.sent == nullptr) return;
  sent_.Remove(s.sent);
  lost_.Remove(s.lost);
  delayed_.Remove(s.delayed);
  interruptions_.Remove(s.interruptions);
  rtt_.Remove(s.rtt);
  running_.Remove(s.running);
  for (auto [family, gauge] : {std::pair{&jitter_, s.jitter}, std::pair{&windowMos_, s.windowMos},
                               std::pair{&worstMos_, s.worstMos},
                               std::pair{&usableGauge_, s.usable},
                               std::pair{&lateness_, s.lateness}}) {
    if (gauge != nullptr) family->Remove(gauge);
  }
  s = Series{};
}

void FleetMetrics::Count(PhoneState& state, const TestStatistics& figures) {
  if (state.closedSent >= 0) {
    if (figures.sent >= state.closedSent) return;
    state.closedSent = -1;
  }
  // Fewer frames than counted: a newer cycle, counted once the older one's result came.
  if (figures.sent < state.sent) return;
  auto add = [](prometheus::Counter* counter, int64_t& counted, int64_t now) {
    if (now > counted) {
      counter->Increment(static_cast<double>(now - counted));
      counted = now;
    }
  };
  add(state.series.sent, state.sent, figures.sent);
  add(state.series.lost, state.lost, figures.lost);
  add(state.series.delayed, state.delayed, figures.delayed);
  add(state.series.interruptions, state.interruptions, figures.interruptions);
}

void FleetMetrics::CloseCycle(PhoneState& state, const TestStatistics& figures) {
  state.closedSent = -1;
  Count(state, figures);
  state.sent = state.lost = state.delayed = state.interruptions = 0;
  state.closedSent = figures.sent > 0 ? figures.sent : -1;
}

void FleetMetrics::Register(const TestIdentity& phone) {
  std::lock_guard lock(mutex_);
  Phone(phone);
}

void FleetMetrics::OnStarted(const TestStarted& event) {
  std::lock_guard cycle(cycleMutex_);
  std::lock_guard lock(mutex_);
  if (auto it = phones_.find(event.phone.serialNumber); it != phones_.end()) {
    it->second->live = false;  // a new test: its own labels
  }
  PhoneState& state = Phone(event.phone);
  state.sent = state.lost = state.delayed = state.interruptions = 0;
  state.closedSent = -1;
  state.live = true;
  state.timingsStartNs = -1;
  state.observed.clear();
  state.series.running->Set(1);
}

void FleetMetrics::OnCycleResult(const CycleResult& event) {
  std::function<void()> hook;
  {
    std::lock_guard cycle(cycleMutex_);
    std::lock_guard lock(mutex_);
    PhoneState& state = Phone(event.phone);
    CloseCycle(state, event.stats);
    SetGauge(usableGauge_, state.series.usable, state.labels,
             usable_ && usable_(event) ? 1 : 0);
    // A cycle that sent nothing has no voice figures to show.
    if (event.voice.loss.sent > 0) {
      SetGauge(worstMos_, state.series.worstMos, state.labels, event.voice.worstWindowMos);
      SetGauge(lateness_, state.series.lateness, state.labels,
               event.voice.sender.latenessP99Us / 1e6);
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
  state.series.running->Set(0);
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
  if (!timings.frames.empty()) {
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
      state.series.rtt->Observe(static_cast<double>(frame.arrivalNs - frame.sendNs) / 1e9);
    }
  }
  // Assessing sorts the cycle's round trips: the gauges follow every few polls only.
  if (!timings.frames.empty() && state.pollsSinceVoice++ % kVoiceEveryPolls == 0) {
    const VoiceQuality voice = AssessCycle(timings);
    SetGauge(jitter_, state.series.jitter, state.labels, voice.jitterUs / 1e6);
    if (!voice.windows.empty()) {
      SetGauge(windowMos_, state.series.windowMos, state.labels, voice.windows.back().score.mos);
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
  const prometheus::Labels labels{{"site", site}};
  discovered_.Add(labels).Set(phones);
  scanSeconds_.Add(labels).Set(seconds);
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
      live.timings = backend_.Timings(*test);
      return true;
    });
  }
}

MetricsServer::MetricsServer() = default;
MetricsServer::~MetricsServer() = default;

bool MetricsServer::Listen(const std::string& address,
                           std::shared_ptr<prometheus::Registry> registry, std::string& error) {
  try {
    // One thread serves: a scrape is one request every few seconds.
    exposer_ = std::make_unique<prometheus::Exposer>(address, 1);
  } catch (const std::exception& e) {
    error = "--metrics-listen: cannot listen on " + address + ": " + e.what();
    return false;
  }
  exposer_->RegisterCollectable(registry);
  return true;
}

}  // namespace pathmon::cli
