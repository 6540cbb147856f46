// SPDX-License-Identifier: Apache-2.0
#pragma once
// A phone's history as the phone's window charts it over days: one point per cycle result,
// read from its voice history (<user>_<serial>.voice.jsonl) or, when it has none, from the
// figures of its history file (<user>_<serial>.txt). And the points as CSV. No Qt.

#include <cstdint>
#include <istream>
#include <optional>
#include <string>
#include <vector>

namespace pathmon {

struct HistoryPoint {
  int64_t epochSeconds = 0;
  double meanRttMs = 0;           // the voice history's mean; the history file's AVGRTT
  std::optional<double> p95RttMs;  // voice history only
  double lossPercent = 0;
  int32_t interruptions = 0;
  std::optional<double> worstMos;  // voice history only
};

struct HistorySeries {
  std::vector<HistoryPoint> points;  // in file order
  int32_t skippedLines = 0;          // lines that were not a cycle result (cut, foreign)
  bool voice = false;                // from a voice history
};

// One JSON object a line; a line that does not parse or lacks epochSeconds is skipped.
HistorySeries ReadVoiceHistory(std::istream& in);
// The history file's lines "MM:DD:YYYY HH:MM:SS <PATHMON>INTERRUPTIONS: ... AVGRTT: ..."; the
// stamp is local time. Lines of another form are skipped.
HistorySeries ReadHistoryFile(std::istream& in);
// The voice history file when it is a regular file, else the history file; empty when
// neither is.
HistorySeries ReadPhoneHistory(const std::string& voiceHistoryPath, const std::string& historyPath);

// A header line, then one line per point: local time (ISO 8601 with offset), epoch seconds,
// mean and p95 round trip (ms), loss %, interruptions, worst MOS; a figure the source lacks
// is an empty field.
std::string HistoryCsv(const HistorySeries& series);

}  // namespace pathmon
