// SPDX-License-Identifier: Apache-2.0
#pragma once
// What a run of tests leaves for the reports: every phone found with its discovery fields,
// every cycle result of its test and how far its test got, the settings that judge them
// (frontend/Verdict.h), and each phone's site with the interruptions seen together
// (SiteVerdict.h). The command line fills it at the end of a run, Save Report with the
// session so far; the JSON report and the site report are two renderings of the same value,
// so their figures and verdicts agree.
//
// The JSON layout is versioned ("schema") and described in docs/cli.md; fields are only
// ever added within a version.

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "discovery/PhoneListMgr.h"
#include "engine/InterruptionCorrelator.h"
#include "engine/VoiceHistory.h"
#include "frontend/SiteVerdict.h"
#include "frontend/Verdict.h"
#include "looptest/LoopTest.h"

namespace pathmon {

inline constexpr int kReportSchema = 3;

// Every cycle result of a run, by serial number. An observer of every test of the run;
// called on the tests' threads.
class CycleRecorder final : public TestObserver {
 public:
  void OnCycleResult(const CycleResult& result) override;
  std::vector<CycleRecord> Cycles(const std::string& serial);

 private:
  std::mutex mutex_;
  std::map<std::string, std::vector<CycleRecord>> cycles_;
};

// The bytes as UTF-8 for the reports: well-formed UTF-8 passes unchanged; any other byte
// (the phones' texts are bytes of no known encoding) is read as Latin-1, the character
// U+0080..U+00FF, so the document is always valid JSON and no byte is lost.
std::string Utf8OrLatin1(std::string_view bytes);

struct PhoneReport {
  PhoneEntry entry{};        // zeroed when the phone is no longer in the directory
  bool selected = false;     // part of this run's tests
  std::string state;         // the scheduler's final state
  TestStage stage = TestStage::kNotTested;  // how far its test got, for its verdict
  std::string historyFile;
  std::string logFile;       // empty unless --log fetched it
  std::vector<CycleRecord> cycles;
  TestEnd endReason = TestEnd::kNone;  // kNone: its test never ran to an end
  std::string notTestedReason;         // why a phone found was never tested, in words
  NotTested notTested = NotTested::kNone;  // and as the word for scripts
  std::string site;  // the site it belongs to (SharedInterruptions::SiteOf); empty: none known
};

struct RunReport {
  int64_t startedAt = 0;  // calendar seconds
  int64_t endedAt = 0;
  bool defaultCommunity = false;
  int32_t durationMinutes = 0;  // the longest of the tests' durations
  int32_t shortestMinutes = 0;  // a sites file's shortest when it differs; 0: one duration
  int32_t maxConcurrentTests = 0;
  double minMos = 0;  // --min-mos; 0 when not given
  int32_t dscp = 0;   // the class the test's datagrams were marked with; 0 unmarked
  bool interrupted = false;
  int exitStatus = 0;
  std::vector<PhoneReport> phones;
  std::vector<std::string> ranges;  // "FIRST-LAST" as scanned; the site report's header only
  std::string site;  // --site: the run's site name; empty when not given
  std::vector<SharedInterruption> shared;  // the run's shared interruptions, in the order decided
};

// The phone's verdict by the report's settings.
Verdict Judge(const PhoneReport& phone, const RunReport& report);
// The verdict of each site of the report's phones (SiteVerdict.h).
std::vector<SiteVerdict> JudgeSites(const RunReport& report);

// The JSON report's document, and the document as text ending in "\n".
OrderedJson ReportJson(const RunReport& report);
std::string FormatReport(const RunReport& report);

// Writes text to a temporary file beside path and renames it over path, so that a reader
// sees the old file or the whole new one, never a part. Refuses a path that is there but
// no regular file. False with error set otherwise (the temporary file is removed).
bool WriteFileAtomically(const std::string& path, const std::string& text, std::string& error);

}  // namespace pathmon
