// SPDX-License-Identifier: Apache-2.0
#pragma once
// The voice history of a phone: every cycle result with its voice figures, one JSON object a
// line, appended to "<userName>_<serialNumber>.voice.jsonl" beside the history file. The
// same cycle object, with "usable" added, is a cycle of the command line's JSON report, and
// the desktop program's history charts read these lines back.

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "looptest/LoopTest.h"
#include "transport/FileWrite.h"

namespace pathmon {

using OrderedJson = nlohmann::ordered_json;

// "2026-12-07T15:30:05+01:00": local time with its offset.
std::string IsoLocalTime(int64_t wallSeconds);

// "%s_%s.voice.jsonl" from the user name and the serial number, made safe as the history
// file's name is.
std::string VoiceHistoryFileName(std::string_view userName, std::string_view serialNumber);

// "time", "epochSeconds" and every figure of the figure table by its report key.
OrderedJson CycleJson(int64_t wallSeconds, const TestStatistics& stats);
// The "voice" object: round trips, jitter, the loss model, the score, the 10-second windows,
// the interruption timeline and the sender's check (docs/voice-quality.md).
OrderedJson VoiceJson(const VoiceQuality& voice);

// The observer that appends the voice history: at every cycle result, CycleJson with "dscp"
// (the class the test's datagrams were marked with) and "voice" added, as one line ended by
// "\n". Like the history writer it keeps no state but
// the failures' record, so tests may call it at once; a line that cannot be written is lost
// and reported.
class VoiceHistoryWriter final : public TestObserver {
 public:
  // directory: where the files lie; empty for the current directory. dscp: the session's
  // class (ProgramSettings::dscp), fixed before any test starts.
  VoiceHistoryWriter(std::string directory, WriteFailures& failures, int32_t dscp = 0);

  void OnCycleResult(const CycleResult& result) override;

 private:
  std::string directory_;
  WriteFailures& failures_;
  int32_t dscp_;
};

}  // namespace pathmon
