// SPDX-License-Identifier: Apache-2.0
#include "engine/VoiceHistory.h"

#include <cmath>
#include <ctime>

#include "engine/CycleFigures.h"
#include "engine/HistoryFile.h"

namespace pathmon {

std::string IsoLocalTime(int64_t wallSeconds) {
  std::time_t t = static_cast<std::time_t>(wallSeconds);
  std::tm local{};
  localtime_r(&t, &local);
  char text[40];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S%z", &local);
  // strftime gives "+0100"; RFC 3339 wants "+01:00".
  std::string s = text;
  if (s.size() >= 5) s.insert(s.size() - 2, ":");
  return s;
}

std::string VoiceHistoryFileName(std::string_view userName, std::string_view serialNumber) {
  std::string name(userName);
  name += '_';
  name += serialNumber;
  name += ".voice.jsonl";
  return SafeFileName(std::move(name));
}

OrderedJson CycleJson(int64_t wallSeconds, const TestStatistics& stats) {
  OrderedJson cycle;
  cycle["time"] = IsoLocalTime(wallSeconds);
  cycle["epochSeconds"] = wallSeconds;
  for (const Figure& figure : kFigures) cycle[figure.jsonKey] = figure.get(stats);
  return cycle;
}

namespace {

// A figure in microseconds to the nanosecond: the clocks measure no finer, and the digits
// of a double beyond it are noise that a reader would take for precision.
double Micros(double us) { return std::round(us * 1000) / 1000; }

}  // namespace

OrderedJson VoiceJson(const VoiceQuality& v) {
  OrderedJson j;
  j["rttMinUs"] = Micros(v.rtt.minUs);
  j["rttMeanUs"] = Micros(v.rtt.meanUs);
  j["rttP50Us"] = Micros(v.rtt.p50Us);
  j["rttP95Us"] = Micros(v.rtt.p95Us);
  j["rttP99Us"] = Micros(v.rtt.p99Us);
  j["rttMaxUs"] = Micros(v.rtt.maxUs);
  j["jitterUs"] = Micros(v.jitterUs);
  j["lossPercent"] = v.loss.lossPercent;
  j["lossP"] = v.loss.p;
  j["lossQ"] = v.loss.q;
  j["burstR"] = v.loss.burstR;
  j["mouthToEarMs"] = v.score.mouthToEarMs;
  j["rFactor"] = v.score.rFactor;
  j["mos"] = v.score.mos;
  j["worstWindowMos"] = v.worstWindowMos;
  j["poorWindows"] = v.poorWindows;
  OrderedJson windows = OrderedJson::array();
  for (const WindowQuality& w : v.windows) {
    windows.push_back({{"firstSequence", w.firstSequence},
                       {"frames", w.frames},
                       {"lost", w.loss.lost},
                       {"burstR", w.loss.burstR},
                       {"rFactor", w.score.rFactor},
                       {"mos", w.score.mos},
                       {"time", IsoLocalTime(RoundedWallSeconds(w.timeWallNs))},
                       {"rttP50Us", Micros(w.p50Us)},
                       {"rttP95Us", Micros(w.p95Us)}});
  }
  j["windows"] = std::move(windows);
  OrderedJson interruptions = OrderedJson::array();
  for (const InterruptionSpan& span : v.interruptions) {
    interruptions.push_back({{"time", IsoLocalTime(RoundedWallSeconds(span.timeWallNs))},
                             {"firstSequence", span.firstSequence},
                             {"lost", span.lost},
                             {"count", span.count}});
  }
  j["interruptions"] = std::move(interruptions);
  j["sender"] = {{"latenessP99Us", Micros(v.sender.latenessP99Us)},
                 {"skippedSlots", v.sender.skippedSlots},
                 {"hostLimited", v.sender.hostLimited}};
  return j;
}

VoiceHistoryWriter::VoiceHistoryWriter(std::string directory, WriteFailures& failures,
                                       int32_t dscp)
    : directory_(std::move(directory)), failures_(failures), dscp_(dscp) {}

void VoiceHistoryWriter::OnCycleResult(const CycleResult& result) {
  OrderedJson line = CycleJson(result.wallSeconds, result.stats);
  line["dscp"] = dscp_;
  line["voice"] = VoiceJson(result.voice);
  const std::string name = VoiceHistoryFileName(result.phone.userName, result.phone.serialNumber);
  const std::string path = directory_.empty() ? name : directory_ + "/" + name;
  std::string reason;
  if (!AppendToFile(path, line.dump() + "\n", reason)) failures_.Report(path, reason);
}

}  // namespace pathmon
