// SPDX-License-Identifier: Apache-2.0
#include "frontend/VoiceChart.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>

namespace pathmon {

namespace {

// Nearest rank: the value at rank ceil(p/100 * N) of the ascending values.
double NearestRank(const std::vector<double>& sorted, double p) {
  if (sorted.empty()) return 0;
  auto rank = static_cast<std::size_t>(std::ceil(p / 100.0 * static_cast<double>(sorted.size())));
  return sorted[std::clamp<std::size_t>(rank, 1, sorted.size()) - 1];
}

double SlotSeconds(const CycleTimings& timings, int64_t slots) {
  return static_cast<double>(slots) * static_cast<double>(timings.intervalNs) / 1e9;
}

}  // namespace

LiveChart BucketCycle(const CycleTimings& timings, const VoiceQuality& voice) {
  LiveChart chart;
  std::vector<std::vector<double>> rtts;
  for (const FrameTiming& frame : timings.frames) {
    int64_t offset = std::max<int64_t>(0, frame.sendNs - timings.startNs);
    auto second = static_cast<std::size_t>(offset / 1'000'000'000);
    if (second >= chart.seconds.size()) {
      std::size_t from = chart.seconds.size();
      chart.seconds.resize(second + 1);
      rtts.resize(second + 1);
      for (std::size_t s = from; s <= second; ++s) chart.seconds[s].second = static_cast<int32_t>(s);
    }
    SecondBucket& bucket = chart.seconds[second];
    ++bucket.frames;
    if (frame.Received()) {
      ++bucket.echoes;
      rtts[second].push_back(static_cast<double>(frame.arrivalNs - frame.sendNs) / 1e6);
    } else {
      ++bucket.lost;
    }
  }
  for (std::size_t s = 0; s < chart.seconds.size(); ++s) {
    std::sort(rtts[s].begin(), rtts[s].end());
    chart.seconds[s].p50Ms = NearestRank(rtts[s], 50);
    chart.seconds[s].p95Ms = NearestRank(rtts[s], 95);
  }
  // Windows and spans are placed by sequence number: slot k of the cycle is due k intervals
  // after its start, whatever the sender's lateness.
  for (const WindowQuality& window : voice.windows) {
    int64_t first = static_cast<int64_t>(window.firstSequence - timings.firstSequence);
    chart.windows.push_back({{SlotSeconds(timings, first), SlotSeconds(timings, first + window.frames)},
                             window.score.mos,
                             window.score.mos < kPoorMos});
  }
  for (const InterruptionSpan& span : voice.interruptions) {
    int64_t first = static_cast<int64_t>(span.firstSequence - timings.firstSequence);
    chart.interruptions.push_back(
        {{SlotSeconds(timings, first), SlotSeconds(timings, first + span.lost)}, span});
  }
  return chart;
}

LiveChart WindowCycle(const VoiceQuality& voice, int64_t intervalNs) {
  LiveChart chart;
  if (voice.windows.empty()) return chart;
  chart.bucketSeconds = static_cast<double>(kWindowFrames) * static_cast<double>(intervalNs) / 1e9;
  const uint32_t first = voice.windows.front().firstSequence;
  auto at = [&](uint32_t sequence, int64_t plus) {
    return static_cast<double>(static_cast<int64_t>(sequence - first) + plus) *
           static_cast<double>(intervalNs) / 1e9;
  };
  for (std::size_t k = 0; k < voice.windows.size(); ++k) {
    const WindowQuality& w = voice.windows[k];
    chart.seconds.push_back({static_cast<int32_t>(k), w.frames, w.frames - w.loss.lost, w.loss.lost,
                             w.p50Us / 1000, w.p95Us / 1000});
    chart.windows.push_back({{at(w.firstSequence, 0), at(w.firstSequence, w.frames)},
                             w.score.mos,
                             w.score.mos < kPoorMos});
  }
  for (const InterruptionSpan& span : voice.interruptions) {
    chart.interruptions.push_back(
        {{at(span.firstSequence, 0), at(span.firstSequence, span.lost)}, span});
  }
  return chart;
}

LiveChart ChartCycle(const CycleTimings& timings, const VoiceQuality& voice) {
  if (timings.frames.empty() && !voice.windows.empty()) {
    return WindowCycle(voice, timings.intervalNs);
  }
  return BucketCycle(timings, voice);
}

std::string InterruptionText(const InterruptionSpan& span) {
  std::time_t seconds = static_cast<std::time_t>(RoundedWallSeconds(span.timeWallNs));
  std::tm local{};
  char clock[16] = "--:--:--";
  if (::localtime_r(&seconds, &local) != nullptr) std::strftime(clock, sizeof clock, "%H:%M:%S", &local);
  char text[128];
  std::snprintf(text, sizeof text, "%s  %d frame%s lost, %d interruption%s", clock, span.lost,
                span.lost == 1 ? "" : "s", span.count, span.count == 1 ? "" : "s");
  return text;
}

std::string VoiceSummary(const VoiceQuality& voice) {
  char text[512];
  std::snprintf(text, sizeof text,
                "MOS %.2f (R %.1f), worst 10 s window %.2f, %d poor window%s\n"
                "Round trip p50 %.1f ms, p95 %.1f ms, max %.1f ms; jitter %.2f ms\n"
                "Loss %.2f %% (burst ratio %.2f)%s",
                voice.score.mos, voice.score.rFactor, voice.worstWindowMos, voice.poorWindows,
                voice.poorWindows == 1 ? "" : "s", voice.rtt.p50Us / 1000, voice.rtt.p95Us / 1000,
                voice.rtt.maxUs / 1000, voice.jitterUs / 1000, voice.loss.lossPercent,
                voice.loss.burstR,
                voice.sender.hostLimited ? "\nThe sender was late: the host may be overloaded"
                                         : "");
  std::string out = text;
  if (voice.interruptions.empty()) return out;
  out += "\nInterruptions:";
  for (const InterruptionSpan& span : voice.interruptions) out += "\n" + InterruptionText(span);
  return out;
}

}  // namespace pathmon
