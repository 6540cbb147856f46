// SPDX-License-Identifier: Apache-2.0
#include "frontend/HistorySeries.h"

#include <cstdio>
#include <ctime>
#include <nlohmann/json.hpp>
#include <sstream>

#include "transport/FileRead.h"

#include "engine/HistoryFile.h"

namespace pathmon {

namespace {

double Number(const nlohmann::json& object, const char* key, double otherwise = 0) {
  auto it = object.find(key);
  return it != object.end() && it->is_number() ? it->get<double>() : otherwise;
}

std::string Trimmed(std::string line) {
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
  return line;
}

}  // namespace

HistorySeries ReadVoiceHistory(std::istream& in) {
  HistorySeries series;
  series.voice = true;
  std::string line;
  while (std::getline(in, line)) {
    line = Trimmed(line);
    if (line.empty()) continue;
    nlohmann::json cycle = nlohmann::json::parse(line, nullptr, false);
    if (cycle.is_discarded() || !cycle.is_object() || !cycle.contains("epochSeconds") ||
        !cycle["epochSeconds"].is_number_integer()) {
      ++series.skippedLines;
      continue;
    }
    HistoryPoint point;
    point.epochSeconds = cycle["epochSeconds"].get<int64_t>();
    point.meanRttMs = Number(cycle, "avgRtt");
    point.interruptions = static_cast<int32_t>(Number(cycle, "interruptions"));
    double sent = Number(cycle, "sent");
    point.lossPercent = sent > 0 ? 100.0 * Number(cycle, "lost") / sent : 0;
    auto voice = cycle.find("voice");
    if (voice != cycle.end() && voice->is_object()) {
      point.meanRttMs = Number(*voice, "rttMeanUs", point.meanRttMs * 1000) / 1000;
      point.p95RttMs = Number(*voice, "rttP95Us") / 1000;
      point.lossPercent = Number(*voice, "lossPercent", point.lossPercent);
      if (voice->contains("worstWindowMos")) point.worstMos = Number(*voice, "worstWindowMos");
    }
    series.points.push_back(point);
  }
  return series;
}

HistorySeries ReadHistoryFile(std::istream& in) {
  HistorySeries series;
  std::string line;
  while (std::getline(in, line)) {
    line = Trimmed(line);
    if (line.empty()) continue;
    std::optional<HistoryLine> parsed = ParseHistoryLine(line);
    if (!parsed) {
      ++series.skippedLines;
      continue;
    }
    const TestStatistics& figures = parsed->stats;
    HistoryPoint point;
    // The stamp says nothing of summer time: the zone decides.
    point.epochSeconds = static_cast<int64_t>(std::mktime(&parsed->local));
    point.meanRttMs = figures.avgRtt;
    point.interruptions = figures.interruptions;
    point.lossPercent = figures.sent > 0 ? 100.0 * figures.lost / figures.sent : 0;
    series.points.push_back(point);
  }
  return series;
}

HistorySeries ReadPhoneHistory(const std::string& voiceHistoryPath, const std::string& historyPath) {
  // Read without blocking: the names come from a phone's texts, and a FIFO in their place
  // must not hold the window up.
  std::string text, reason;
  if (ReadRegularFile(voiceHistoryPath, text, reason)) {
    std::istringstream voice(text);
    return ReadVoiceHistory(voice);
  }
  if (ReadRegularFile(historyPath, text, reason)) {
    std::istringstream plain(text);
    return ReadHistoryFile(plain);
  }
  return {};
}

std::string HistoryCsv(const HistorySeries& series) {
  std::string out = "time,epochSeconds,meanRttMs,p95RttMs,lossPercent,interruptions,worstMos\n";
  for (const HistoryPoint& p : series.points) {
    std::time_t t = static_cast<std::time_t>(p.epochSeconds);
    std::tm local{};
    std::string stamp;
    char text[40];
    if (::localtime_r(&t, &local) != nullptr &&
        std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S%z", &local) > 0) {
      stamp = text;
      stamp.insert(stamp.size() - 2, ":");  // +0100 as ISO 8601's +01:00
    }
    char line[256];
    std::snprintf(line, sizeof line, "%s,%lld,%.3f,", stamp.c_str(), static_cast<long long>(p.epochSeconds),
                  p.meanRttMs);
    out += line;
    if (p.p95RttMs) {
      std::snprintf(line, sizeof line, "%.3f", *p.p95RttMs);
      out += line;
    }
    std::snprintf(line, sizeof line, ",%.3f,%d,", p.lossPercent, p.interruptions);
    out += line;
    if (p.worstMos) {
      std::snprintf(line, sizeof line, "%.2f", *p.worstMos);
      out += line;
    }
    out += '\n';
  }
  return out;
}

}  // namespace pathmon
