// SPDX-License-Identifier: Apache-2.0
#include "looptest/VoiceQuality.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <numeric>

namespace pathmon {
namespace {

// ITU-T G.107 for G.711 with packet-loss concealment (G.113 Appendix I): no impairment of
// its own, robustness against loss 25.1.
constexpr double kIe = 0.0;
constexpr double kBpl = 25.1;
constexpr double kR0 = 93.2;  // G.107's basic signal-to-noise ratio less its default impairments
// Packetisation: one 20 ms frame must be filled before it is sent.
constexpr double kPacketMs = 20.0;

// The value at rank ceil(percent/100 * N) of the values in ascending order (1-based),
// found in linear time; the values are reordered. values non-empty.
int64_t SelectNearestRank(std::vector<int64_t>& values, int percent) {
  const std::size_t rank = std::max<std::size_t>(1, (values.size() * percent + 99) / 100);
  const auto at = values.begin() + static_cast<std::ptrdiff_t>(rank - 1);
  std::nth_element(values.begin(), at, values.end());
  return *at;
}

// RFC 3550 section 6.4.1 over the echoes in arrival order. Returns the estimate after the last
// echo and, for each window, the estimate right after that window's last echo arrived.
double ArrivalOrderJitterNs(const CycleTimings& cycle, std::vector<double>& windowJitterNs) {
  const auto& frames = cycle.frames;
  std::vector<uint32_t> order;
  order.reserve(frames.size());
  for (uint32_t i = 0; i < frames.size(); ++i) {
    if (frames[i].Received()) order.push_back(i);
  }
  // Echoes that arrive at the same instant keep their sequence order. Most paths keep the
  // order too, and then there is nothing to sort.
  const auto byArrival = [&](uint32_t a, uint32_t b) {
    return frames[a].arrivalNs < frames[b].arrivalNs;
  };
  if (!std::is_sorted(order.begin(), order.end(), byArrival)) {
    std::stable_sort(order.begin(), order.end(), byArrival);
  }
  double j = 0;
  for (std::size_t k = 0; k < order.size(); ++k) {
    const FrameTiming& f = frames[order[k]];
    if (k > 0) {
      const FrameTiming& prev = frames[order[k - 1]];
      // D = (R_i - R_{i-1}) - (S_i - S_{i-1}): the change in transit time.
      const int64_t d = (f.arrivalNs - prev.arrivalNs) - (f.sendNs - prev.sendNs);
      j += (std::fabs(static_cast<double>(d)) - j) / 16.0;
    }
    const std::size_t window = order[k] / kWindowFrames;
    if (window < windowJitterNs.size()) windowJitterNs[window] = j;
  }
  return j;
}

double MeanRttNs(std::span<const FrameTiming> frames) {
  int64_t count = 0;
  // long double: no overflow, however long the round trips
  long double sum = 0;
  for (const FrameTiming& f : frames) {
    if (!f.Received()) continue;
    sum += static_cast<long double>(f.arrivalNs - f.sendNs);
    ++count;
  }
  return count == 0 ? 0.0 : static_cast<double>(sum / count);
}

}  // namespace

int64_t CycleTimings::WallTimeNs(uint32_t sequence) const {
  const uint32_t index = sequence - firstSequence;
  const int64_t sent = index < frames.size()
                           ? frames[index].sendNs
                           : startNs + static_cast<int64_t>(index) * intervalNs;
  return startWallNs + (sent - startNs);
}

LossModel MeasureLoss(std::span<const FrameTiming> frames) {
  LossModel m;
  m.sent = static_cast<int32_t>(frames.size());
  int64_t receivedFollowed = 0, receivedThenLost = 0, lostFollowed = 0, lostThenReceived = 0;
  for (std::size_t i = 0; i < frames.size(); ++i) {
    const bool received = frames[i].Received();
    if (!received) ++m.lost;
    if (i + 1 == frames.size()) break;
    const bool nextReceived = frames[i + 1].Received();
    if (received) {
      ++receivedFollowed;
      if (!nextReceived) ++receivedThenLost;
    } else {
      ++lostFollowed;
      if (nextReceived) ++lostThenReceived;
    }
  }
  if (m.sent > 0) m.lossPercent = 100.0 * m.lost / m.sent;
  if (receivedFollowed > 0) m.p = static_cast<double>(receivedThenLost) / receivedFollowed;
  if (lostFollowed > 0) m.q = static_cast<double>(lostThenReceived) / lostFollowed;
  // G.113 Appendix I: the model's mean burst length 1/q over random loss's 1/(1 - Ppl), with
  // Ppl = p/(p + q), is 1/(p + q). With p + q = 0 there is no loss, or nothing but loss (which
  // ScoreVoice scores apart).
  if (m.p + m.q > 0) m.burstR = 1.0 / (m.p + m.q);
  return m;
}

double MosFromR(double r) {
  if (r <= 0) return 1.0;
  if (r >= 100) return 4.5;
  const double mos = 1.0 + 0.035 * r + r * (r - 60.0) * (100.0 - r) * 7e-6;
  // The cubic dips just below 1 for R under about 6.5; a MOS is never below 1.
  return std::clamp(mos, 1.0, 4.5);
}

VoiceScore ScoreVoice(double meanRttMs, double jitterMs, const LossModel& loss) {
  VoiceScore s;
  // One-way delay is half the round trip; a jitter buffer of twice the jitter and one frame
  // of packetisation add to it.
  s.mouthToEarMs = meanRttMs / 2.0 + 2.0 * jitterMs + kPacketMs;
  const double ta = s.mouthToEarMs;
  const double id = ta > 177.3 ? 0.024 * ta + 0.11 * (ta - 177.3) : 0.024 * ta;
  const double ppl = loss.lossPercent;
  const double ieEff = kIe + (95.0 - kIe) * ppl / (ppl / loss.burstR + kBpl);
  const bool nothingHeard = loss.lost == loss.sent;
  s.rFactor = nothingHeard ? 0.0 : std::clamp(kR0 - id - ieEff, 0.0, 100.0);
  s.mos = MosFromR(s.rFactor);
  return s;
}

SenderCheck CheckSender(const CycleTimings& cycle) {
  SenderCheck c;
  if (cycle.frames.empty() || cycle.intervalNs <= 0) return c;
  std::vector<int64_t> lateness;
  lateness.reserve(cycle.frames.size());
  int64_t slot = -1;
  for (const FrameTiming& f : cycle.frames) {
    const int64_t offset = f.sendNs - cycle.startNs;
    // floor, also for a frame that left before the cycle's first slot was due
    const int64_t begun = offset >= 0 ? offset / cycle.intervalNs
                                      : -((-offset + cycle.intervalNs - 1) / cycle.intervalNs);
    slot = std::max(slot + 1, begun);
    lateness.push_back(offset - slot * cycle.intervalNs);
  }
  const int64_t slots = slot + 1;
  c.slotCount = static_cast<int32_t>(std::min<int64_t>(slots, std::numeric_limits<int32_t>::max()));
  c.skippedSlots = static_cast<int32_t>(std::min<int64_t>(
      slots - static_cast<int64_t>(cycle.frames.size()), std::numeric_limits<int32_t>::max()));
  const int64_t p99 = SelectNearestRank(lateness, 99);
  c.latenessP99Us = static_cast<double>(p99) / 1000.0;
  const bool skipsTooMany = static_cast<int64_t>(c.skippedSlots) * 1000 >
                           static_cast<int64_t>(c.slotCount) * kSkippedSlotsPerMille;
  c.hostLimited = p99 > kLatenessLimitNs || skipsTooMany;
  return c;
}

VoiceQuality AssessCycle(const CycleTimings& cycle) {
  VoiceQuality v;
  v.intervalNs = cycle.intervalNs;
  const std::span<const FrameTiming> frames(cycle.frames);

  std::vector<int64_t> rtts;
  rtts.reserve(frames.size());
  for (const FrameTiming& f : frames) {
    if (f.Received()) rtts.push_back(f.arrivalNs - f.sendNs);
  }
  if (!rtts.empty()) {
    const auto us = [](int64_t ns) { return static_cast<double>(ns) / 1000.0; };
    const auto [min, max] = std::minmax_element(rtts.begin(), rtts.end());
    v.rtt.minUs = us(*min);
    v.rtt.maxUs = us(*max);
    v.rtt.meanUs = MeanRttNs(frames) / 1000.0;
    v.rtt.p50Us = us(SelectNearestRank(rtts, 50));
    v.rtt.p95Us = us(SelectNearestRank(rtts, 95));
    v.rtt.p99Us = us(SelectNearestRank(rtts, 99));
  }
  rtts = {};  // freed before the arrival order is built: the two never coexist

  const std::size_t windowCount = (frames.size() + kWindowFrames - 1) / kWindowFrames;
  std::vector<double> windowJitterNs(windowCount, 0.0);
  v.jitterUs = ArrivalOrderJitterNs(cycle, windowJitterNs) / 1000.0;
  v.loss = MeasureLoss(frames);
  v.score = ScoreVoice(v.rtt.meanUs / 1000.0, v.jitterUs / 1000.0, v.loss);

  v.worstWindowMos = v.score.mos;
  std::vector<int64_t> windowRtts;
  windowRtts.reserve(std::min<std::size_t>(frames.size(), kWindowFrames));
  for (std::size_t w = 0; w < windowCount; ++w) {
    const std::size_t first = w * kWindowFrames;
    const auto run =
        frames.subspan(first, std::min<std::size_t>(kWindowFrames, frames.size() - first));
    if (run.size() < static_cast<std::size_t>(kMinWindowFrames)) continue;
    WindowQuality q;
    q.firstSequence = cycle.firstSequence + static_cast<uint32_t>(first);
    q.frames = static_cast<int32_t>(run.size());
    q.timeWallNs = cycle.WallTimeNs(q.firstSequence);
    q.meanRttUs = MeanRttNs(run) / 1000.0;
    windowRtts.clear();
    for (const FrameTiming& f : run) {
      if (f.Received()) windowRtts.push_back(f.arrivalNs - f.sendNs);
    }
    if (!windowRtts.empty()) {
      q.p50Us = static_cast<double>(SelectNearestRank(windowRtts, 50)) / 1000.0;
      q.p95Us = static_cast<double>(SelectNearestRank(windowRtts, 95)) / 1000.0;
    }
    q.jitterUs = windowJitterNs[w] / 1000.0;
    q.loss = MeasureLoss(run);
    q.score = ScoreVoice(q.meanRttUs / 1000.0, q.jitterUs / 1000.0, q.loss);
    v.windows.push_back(q);
  }
  if (!v.windows.empty()) {
    v.worstWindowMos = std::min_element(v.windows.begin(), v.windows.end(),
                                        [](const WindowQuality& a, const WindowQuality& b) {
                                          return a.score.mos < b.score.mos;
                                        })
                           ->score.mos;
  }
  v.poorWindows = static_cast<int32_t>(std::count_if(
      v.windows.begin(), v.windows.end(),
      [](const WindowQuality& q) { return q.score.mos < kPoorMos; }));
  v.sender = CheckSender(cycle);
  return v;
}

}  // namespace pathmon
