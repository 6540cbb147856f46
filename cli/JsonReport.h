#pragma once
// The run's report for scripts: every phone found with its discovery fields and every cycle
// result of its test. The layout is versioned ("schema": 2) and described in docs/cli.md;
// fields are only ever added within a version.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "cli/Verdict.h"
#include "discovery/PhoneListMgr.h"
#include "frontend/VoiceHistory.h"
#include "looptest/LoopTest.h"

namespace pathmon::cli {

inline constexpr int kReportSchema = 2;

// The bytes as UTF-8 for the report: well-formed UTF-8 passes unchanged; any other byte
// (the phones' texts are bytes of no known encoding) is read as Latin-1, the character
// U+0080..U+00FF, so the document is always valid JSON and no byte is lost.
std::string Utf8OrLatin1(std::string_view bytes);


struct PhoneReport {
  PhoneEntry entry{};        // zeroed when the phone is no longer in the directory
  bool selected = false;     // part of this run's tests
  std::string state;         // the scheduler's final state
  std::string outcome;       // see Outcome
  std::string historyFile;
  std::string logFile;       // empty unless --log fetched it
  std::vector<CycleRecord> cycles;
  TestEnd endReason = TestEnd::kNone;  // kNone: its test never ran to an end
  std::string notTestedReason;         // why a phone found could not be tested at all
};

struct RunReport {
  int64_t startedAt = 0;  // calendar seconds
  int64_t endedAt = 0;
  bool defaultCommunity = false;
  int32_t durationMinutes = 0;
  int32_t maxConcurrentTests = 0;
  double minMos = 0;  // --min-mos; 0 when not given
  bool interrupted = false;
  int exitStatus = 0;
  std::vector<PhoneReport> phones;
};

std::string FormatReport(const RunReport& report);

// Writes text to a temporary file beside path and renames it over path, so that a reader
// sees the old file or the whole new one, never a part. Refuses a path that is there but
// no regular file. False with error set otherwise (the temporary file is removed).
bool WriteFileAtomically(const std::string& path, const std::string& text, std::string& error);

}  // namespace pathmon::cli
