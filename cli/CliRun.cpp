// SPDX-License-Identifier: Apache-2.0
#include "cli/CliRun.h"

#include <strings.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <map>
#include <memory>
#include <optional>
#include <sstream>

#include <fmt/format.h>

#include "Version.h"
#include "cli/EventLines.h"
#include "cli/EventStream.h"
#include "cli/JsonReport.h"
#include "cli/Metrics.h"
#include "cli/ResultTable.h"
#include "cli/TableView.h"
#include "cli/TestScheduler.h"
#include "cli/TestStarter.h"
#include "discovery/PhoneListMgr.h"
#include "engine/HistoryFile.h"
#include "frontend/AddPhonesPresenter.h"
#include "frontend/CommunityPresenter.h"
#include "frontend/Messages.h"
#include "frontend/SharedInterruptions.h"
#include "frontend/SiteReport.h"
#include "transport/Clock.h"
#include "transport/FileWrite.h"

namespace pathmon::cli {

void RecordingFileOpener::Open(const std::string& path) {
  std::lock_guard lock(mutex_);
  paths_.push_back(path);
}

void RecordingFileOpener::Note(const std::string& path, const std::string& text) {
  std::lock_guard lock(mutex_);
  notes_.push_back(path + ": " + text);
}

bool RecordingFileOpener::Interrupted() { return interrupted_ && interrupted_(); }

std::vector<std::string> RecordingFileOpener::Take() {
  std::lock_guard lock(mutex_);
  return std::exchange(paths_, {});
}

std::vector<std::string> RecordingFileOpener::TakeNotes() {
  std::lock_guard lock(mutex_);
  return std::exchange(notes_, {});
}

namespace {

constexpr int64_t kStartEstimateSeconds = 2;  // a control exchange and a thread start

// A phone found that no test of this run can run for, and why.
struct SetAside {
  PhoneEntry entry;
  std::string reason;
  NotTested cause;
};

// Why a selected phone was never tested, by its final state.
NotTested CauseOf(PhoneState state) {
  switch (state) {
    case PhoneState::kStartFailed: return NotTested::kNoAnswer;
    case PhoneState::kNotStarted: return NotTested::kInterrupted;
    default: return NotTested::kNone;
  }
}

class Run {
 public:
  Run(const RunPlan& plan, CliEnvironment& env) : plan_(plan), env_(env) {}

  int Execute();

 private:
  bool ScanRanges();
  void CollectPhones();
  std::string SelectPhones();  // a message for an unknown serial number
  void SelectSitesPhones();    // a sites file's: each phone of its site's ranges and serials
  void UseCommunity(const std::string& community);  // the directory's, when it changes
  int32_t Minutes(const TestedPhone& phone) const { return phone.site->durationMinutes; }
  int32_t LongestMinutes() const;  // of the sites' tests
  int32_t Limit() const;           // of concurrent tests
  void TestPhones();
  void LaunchStart(int slot);
  void CollectStarts(bool wait);
  void StopEverything();
  // The selected phones' rows, their voice figures assessed now, and their bands.
  std::vector<RowTexts> Rows(std::vector<Band>* bands = nullptr);
  void Draw();
  std::string Footer();
  void FetchLogs();
  void Summarise();
  // The sites' verdicts and the shared interruptions, after the phones' results.
  void SummariseSites();
  RunReport Report(int status);
  int Finish(int status);  // writes the reports; returns the exit status
  int WriteJsonReport(const RunReport& report, int status);
  int WriteSiteReport(const RunReport& report, int status);
  void Warn(const std::string& text);
  // The event stream's "not-tested" event.
  void TellNotTested(const TestIdentity& phone, NotTested cause, const std::string& text);
  int32_t NoteUntestablePhones();  // returns the number of distinct phones the registry may hold
  void ReportWriteFailures();
  void WarnSharedHistoryFiles();

  const RunPlan& plan_;
  CliEnvironment& env_;
  int64_t startedAt_ = 0;
  bool interrupted_ = false;
  // A sites file's, or the one the options make (CheckArguments); before the phones: they
  // point into it.
  const std::vector<Site> sites_ = plan_.sites;
  std::optional<std::string> community_;           // the directory's, once set
  // Every phone found is to be tested: no --serial, no site naming its phones.
  const bool everyPhone_ =
      plan_.serials.empty() && std::all_of(sites_.begin(), sites_.end(),
                                           [](const Site& s) { return s.serials.empty(); });
  TestStarter starter_{env_.backend};  // before the phones: their starts use it
  std::vector<TestedPhone> phones_;    // every phone found, registry order
  std::vector<int> selected_;          // indexes into phones_, in test order
  std::optional<TestScheduler> scheduler_;  // slots are positions in selected_
  std::shared_ptr<CycleRecorder> recorder_ = std::make_shared<CycleRecorder>();
  const LiveOutput live_ = LiveOutputFor(plan_.verbosity, env_.terminal);
  // The lines under the table with -v; in the table's place when out is no terminal.
  const bool eventsWanted_ = live_ == LiveOutput::kLines || plan_.verbosity == Verbosity::kVerbose;
  std::shared_ptr<EventLines> eventLines_ = std::make_shared<EventLines>(plan_.minMos);
  std::vector<std::string> warnings_;  // shown under the table on a terminal
  std::map<int, std::string> logFiles_;  // by phone index
  std::vector<TestStage> stages_;        // by position in selected_, once summarised
  std::vector<Outcome> outcomes_;
  std::vector<SetAside> notTestable_;  // found, but no test of theirs can run
  bool incomplete_ = false;  // a file not written, an address not probed: exit status 1
};

int32_t Run::NoteUntestablePhones() {
  for (const PhoneNotKept& n : env_.discovery.PhonesNotKept()) {
    notTestable_.push_back({n.entry, n.reason, NotTestedOf(n.cause)});
  }
  // The registry keys its tests by serial number: of two phones that share one, only the
  // first in the directory can be tested.
  const std::vector<PhoneEntry> entries = env_.discovery.Phones();
  int32_t duplicates = 0;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    for (std::size_t k = 0; k < i; ++k) {
      if (strcasecmp(entries[k].serialNumber, entries[i].serialNumber) == 0) {
        notTestable_.push_back(
            {entries[i], DuplicateSerialText(entries[i].serialNumber, entries[k].scannedAddress),
             NotTested::kDuplicateSerial});
        ++duplicates;
        break;
      }
    }
  }
  for (const SetAside& n : notTestable_) {
    Warn(std::string("Phone at ") + n.entry.scannedAddress + " not tested: " + n.reason);
  }
  // Phones beyond the registry's room are in the directory but have no test.
  for (const PhoneEntry& e : entries) {
    const bool listed = std::any_of(phones_.begin(), phones_.end(), [&](const TestedPhone& p) {
      return strcasecmp(p.serial.c_str(), e.serialNumber) == 0;
    });
    if (!listed) {
      notTestable_.push_back(
          {e, NotTestedText(NotTested::kTooManyPhones), NotTested::kTooManyPhones});
    }
  }
  for (const SetAside& n : notTestable_) {
    TellNotTested(IdentityOf(n.entry), n.cause, n.reason);
  }
  return env_.discovery.GetPhoneCount() - duplicates;
}

// Each file once, when it first fails; the summary gives the count of lost writes.
void Run::ReportWriteFailures() {
  for (const WriteFailure& failure : env_.backend.TakeWriteFailures()) {
    incomplete_ = true;
    Warn(WriteFailureMessage(failure));
  }
}

// Phones whose texts give the same file name would mix their lines in one history file.
void Run::WarnSharedHistoryFiles() {
  std::map<std::string, std::vector<std::string>> byName;
  for (int i : selected_) {
    const TestedPhone& phone = phones_[static_cast<std::size_t>(i)];
    byName[HistoryFileName(phone.entry.userName, phone.serial)].push_back(
        std::string(phone.entry.userName) + ":" + phone.serial);
  }
  for (const auto& [name, phones] : byName) {
    if (phones.size() < 2) continue;
    std::string text = "These phones write to the same history file " + name + ":";
    for (const std::string& phone : phones) text += " " + phone;
    if (plan_.fetchLogs) {
      // The log file names share the history file's stem: the last log fetched is kept.
      text += "; their logs go to one log file, the last one fetched is kept";
    }
    Warn(text);
  }
}

void Run::TellNotTested(const TestIdentity& phone, NotTested cause, const std::string& text) {
  if (env_.events != nullptr) env_.events->NotTested(phone, NotTestedName(cause), text);
}

void Run::Warn(const std::string& text) {
  std::string printable = PrintableText(text);
  env_.err << printable << '\n' << std::flush;
  warnings_.push_back(printable);
}

bool Run::ScanRanges() {
  // The walk of a range runs on this thread: it looks for a signal before every address.
  env_.discovery.SetStopCheck([this] { return env_.wait(0); });
  std::ostringstream quiet;  // -q: no progress lines
  bool interrupted = false;
  // The sites one after another: the directory probes with one community at a time.
  for (const Site& site : sites_) {
    const Clock::TimePoint began = env_.clock.Now();
    const int32_t siteBefore = env_.discovery.GetPhoneCount();
    UseCommunity(site.community);
    for (const AddressRange& range : site.ranges) {
      const int32_t unprobedBefore = env_.discovery.GetUnprobedCount();
      const int32_t phonesBefore = env_.discovery.GetPhoneCount();
      const Clock::TimePoint rangeBegan = env_.clock.Now();
      if (env_.events != nullptr) env_.events->ScanStarted(site.name, range.first, range.last);
      ScanEnd end = RunConsoleScan(env_.discovery, range, env_.wait,
                                   plan_.verbosity == Verbosity::kQuiet ? quiet : env_.out,
                                   env_.err, env_.terminal);
      quiet.str("");
      if (env_.events != nullptr) {
        env_.events->ScanFinished(
            site.name, range.first, range.last, env_.discovery.GetPhoneCount() - phonesBefore,
            std::chrono::duration<double>(env_.clock.Now() - rangeBegan).count());
      }
      if (end == ScanEnd::kInterrupted) {
        interrupted = true;
        break;
      }
      if (int32_t unprobed = env_.discovery.GetUnprobedCount() - unprobedBefore; unprobed > 0) {
        incomplete_ = true;
        Warn(std::to_string(unprobed) + " addresses of " + range.first + "-" + range.last +
             " could not be probed (no SNMP session could be opened): the scan is incomplete.");
      }
    }
    if (env_.metrics != nullptr) {
      env_.metrics->ScanDone(site.name, env_.discovery.GetPhoneCount() - siteBefore,
                             std::chrono::duration<double>(env_.clock.Now() - began).count());
    }
    if (interrupted) break;
  }
  env_.discovery.SetStopCheck({});  // the check refers to this run
  return !env_.wait(0);
}

void Run::CollectPhones() {
  env_.backend.CreateLoopTestsForPhones();
  for (FleetPhone& phone : FleetSnapshot(env_.backend)) {
    phones_.emplace_back(std::move(phone));
    // Without a sites file, every phone is of the one site the options make.
    if (!plan_.sitesFromFile) phones_.back().site = &sites_.front();
  }
  // Each phone found belongs to the first site whose ranges hold it, tested or not (a phone
  // is tested for the first site that also names it, or names none: SelectSitesPhones).
  // Until its test's site is known (SelectSitesPhones), the events name that site too: a phone
  // set aside, or kept from its turn by an interruption, is labelled with its own site.
  if (!plan_.sitesFromFile) return;
  for (const PhoneEntry& entry : env_.discovery.Phones()) {
    const Site* site = SiteOfPhone(sites_, entry, true);
    if (site == nullptr) continue;
    if (env_.shared != nullptr) env_.shared->PlacePhone(entry.serialNumber, site->name);
    if (env_.events != nullptr) env_.events->SetPhoneSite(entry.serialNumber, site->name);
  }
}

void Run::UseCommunity(const std::string& community) {
  if (community_ == community) return;
  community_ = community;
  env_.setCommunity(community.c_str());
}

int32_t Run::LongestMinutes() const {
  int32_t longest = 0;
  for (const Site& site : sites_) longest = std::max(longest, site.durationMinutes);
  return longest;
}

int32_t Run::Limit() const {
  return plan_.sitesFromFile ? ConcurrentLimit(sites_) : plan_.settings.maxConcurrentTests;
}

void Run::SelectSitesPhones() {
  for (std::size_t i = 0; i < phones_.size(); ++i) {
    TestedPhone& phone = phones_[i];
    phone.site = SiteOfPhone(sites_, phone.entry);
    if (phone.site == nullptr) continue;
    selected_.push_back(static_cast<int>(i));
    if (env_.shared != nullptr) env_.shared->PlacePhone(phone.serial, phone.site->name);
    if (env_.events != nullptr) env_.events->SetPhoneSite(phone.serial, phone.site->name);
    if (env_.metrics != nullptr) env_.metrics->SetPhoneSite(phone.serial, phone.site->name);
  }
  // A phone a site names that the scan did not find is said, and the run is incomplete; one
  // found but set aside has had its line.
  std::vector<PhoneEntry> found = env_.discovery.Phones();
  for (const PhoneNotKept& n : env_.discovery.PhonesNotKept()) found.push_back(n.entry);
  for (const Site& site : sites_) {
    for (const std::string& serial : site.serials) {
      if (std::none_of(found.begin(), found.end(), [&serial](const PhoneEntry& e) {
            return strcasecmp(e.serialNumber, serial.c_str()) == 0;
          })) {
        incomplete_ = true;
        Warn("Site " + site.name + ": " + FillMessage(kMsgUnknownSerial, serial, ""));
      }
    }
  }
}

std::string Run::SelectPhones() {
  if (plan_.sitesFromFile) {
    SelectSitesPhones();
    return {};
  }
  if (plan_.serials.empty()) {
    for (std::size_t i = 0; i < phones_.size(); ++i) selected_.push_back(static_cast<int>(i));
    return {};
  }
  for (const std::string& serial : plan_.serials) {
    int found = -1;
    for (std::size_t i = 0; i < phones_.size(); ++i) {
      if (strcasecmp(phones_[i].serial.c_str(), serial.c_str()) == 0) found = static_cast<int>(i);
    }
    if (found < 0) {
      // Found, but set aside: saying "no phone with this serial number" would be false.
      for (const SetAside& n : notTestable_) {
        if (strcasecmp(n.entry.serialNumber, serial.c_str()) == 0) {
          return "Phone " + serial + " at " + n.entry.scannedAddress +
                 " was found but cannot be tested: " + n.reason;
        }
      }
      return FillMessage(kMsgUnknownSerial, serial, "");
    }
    if (std::find(selected_.begin(), selected_.end(), found) == selected_.end()) {
      selected_.push_back(found);
    }
  }
  return {};
}

void Run::LaunchStart(int slot) {
  TestedPhone& phone =
      phones_[static_cast<std::size_t>(selected_[static_cast<std::size_t>(slot)])];
  starter_.Launch(phone, Minutes(phone) * 60);
}

void Run::CollectStarts(bool wait) {
  for (std::size_t slot = 0; slot < selected_.size(); ++slot) {
    TestedPhone& phone = phones_[static_cast<std::size_t>(selected_[slot])];
    const std::optional<StartResult> result = starter_.Collect(phone, wait);
    if (!result) continue;
    const int i = static_cast<int>(slot);
    switch (*result) {
      case StartResult::kStarted:
        scheduler_->StartSucceeded(i);
        phone.startedAt = env_.clock.Now();
        break;
      case StartResult::kFailed:
        scheduler_->StartFailed(i);
        Warn(FillMessage(kMsgStartFailed, phone.entry.userName, phone.serial));
        TellStartFailed(env_, phone.Identity());
        break;
      case StartResult::kCancelled:
        scheduler_->StartCancelled(i);
        break;
    }
  }
}

void Run::TestPhones() {
  std::vector<std::string> serials;
  for (int i : selected_) serials.push_back(phones_[static_cast<std::size_t>(i)].serial);
  scheduler_.emplace(serials, Limit());

  const int count = static_cast<int>(serials.size());
  // A sites file's sites may each have their own duration.
  int32_t shortest = LongestMinutes(), longest = 0;
  for (int i : selected_) {
    shortest = std::min(shortest, Minutes(phones_[static_cast<std::size_t>(i)]));
    longest = std::max(longest, Minutes(phones_[static_cast<std::size_t>(i)]));
  }
  std::ostringstream quiet;
  std::ostream& out = plan_.verbosity == Verbosity::kQuiet ? quiet : env_.out;
  out << "Testing " << count << (count == 1 ? " phone" : " phones") << " for "
      << (shortest < longest ? std::to_string(shortest) + " to " : "") << longest
      << " min, at most " << scheduler_->Limit() << " at once.";
  if (count > scheduler_->Limit()) {
    out << " " << count - scheduler_->Limit()
        << " wait for a free place and start when a test ends.";
  }
  out << '\n' << std::flush;

  Clock::TimePoint lastDraw{};
  bool drawn = false;
  while (!scheduler_->Done()) {
    for (int slot : scheduler_->TakeStartable()) LaunchStart(slot);
    if (env_.wait(kPollMs)) {
      interrupted_ = true;
      break;
    }
    ReportWriteFailures();
    if (env_.shared != nullptr) env_.shared->Poll();
    CollectStarts(false);
    for (int slot = 0; slot < count; ++slot) {
      if (scheduler_->State(slot) != PhoneState::kRunning) continue;
      const TestedPhone& phone =
          phones_[static_cast<std::size_t>(selected_[static_cast<std::size_t>(slot)])];
      const TestSnapshot snapshot = env_.backend.Snapshot(*phone.test);
      if (eventsWanted_) {
        eventLines_->NoteSilence(phone.entry.userName, phone.serial, snapshot,
                                 env_.clock.WallSeconds());
      }
      if (!snapshot.running) scheduler_->Finished(slot);
    }
    Clock::TimePoint now = env_.clock.Now();
    if (live_ == LiveOutput::kLines) {
      PrintEventLines(*eventLines_, env_.out);
    } else if (live_ == LiveOutput::kTable &&
               (!drawn || now - lastDraw >= std::chrono::milliseconds(kRedrawMs))) {
      Draw();
      lastDraw = now;
      drawn = true;
    }
  }
  if (interrupted_) {
    env_.err << "Interrupted: stopping every running test.\n" << std::flush;
    starter_.Cancel();
    scheduler_->CancelWaiting();
  }
  StopEverything();
  for (int slot = 0; slot < count; ++slot) {
    const NotTested cause = CauseOf(scheduler_->State(slot));
    if (cause != NotTested::kInterrupted) continue;  // a failed start was told when it failed
    TellNotTested(
        phones_[static_cast<std::size_t>(selected_[static_cast<std::size_t>(slot)])].Identity(),
        cause, NotTestedText(cause));
  }
  // Every test has ended: what the correlator still holds is decided before the summary.
  if (env_.shared != nullptr) env_.shared->Flush();
  ReportWriteFailures();  // the final lines
  if (live_ == LiveOutput::kLines) PrintEventLines(*eventLines_, env_.out);  // the tests' ends
}

void Run::StopEverything() {
  CollectStarts(true);  // a start under way either fails, is cancelled or runs
  starter_.StopAll();
  for (int slot = 0; slot < scheduler_->Count(); ++slot) {
    if (scheduler_->State(slot) == PhoneState::kRunning) scheduler_->Finished(slot);
  }
}

std::string Run::Footer() {
  std::vector<int64_t> remaining;
  const int64_t testSeconds = int64_t{LongestMinutes()} * 60;  // a waiting phone's, at most
  Clock::TimePoint now = env_.clock.Now();
  for (int slot = 0; slot < scheduler_->Count(); ++slot) {
    PhoneState state = scheduler_->State(slot);
    const TestedPhone& phone =
        phones_[static_cast<std::size_t>(selected_[static_cast<std::size_t>(slot)])];
    const int64_t seconds = int64_t{Minutes(phone)} * 60;
    if (state == PhoneState::kStarting) {
      remaining.push_back(seconds + kStartEstimateSeconds);
    } else if (state == PhoneState::kRunning) {
      auto elapsed = std::chrono::duration_cast<std::chrono::seconds>(now - phone.startedAt);
      remaining.push_back(seconds - elapsed.count());
    }
  }
  std::vector<int> waiting = scheduler_->Waiting();
  std::string footer =
      "Remaining: " +
      FormatDuration(EstimateRemainingSeconds(remaining, static_cast<int>(waiting.size()),
                                              scheduler_->Limit(), testSeconds,
                                              kStartEstimateSeconds)) +
      "\n";
  if (!waiting.empty()) {
    footer += "Waiting for a free place (at most " + std::to_string(scheduler_->Limit()) +
              " tests at once):";
    for (int slot : waiting) footer += " " + PrintableText(scheduler_->Serial(slot));
    footer += "\n";
  }
  return footer;
}

std::vector<RowTexts> Run::Rows(std::vector<Band>* bands) {
  std::vector<RowTexts> rows;
  for (int i : selected_) {
    LiveRow row = ReadLiveRow(env_.backend, phones_[static_cast<std::size_t>(i)], plan_.minMos);
    rows.push_back(std::move(row.texts));
    if (bands != nullptr) bands->push_back(row.band);
  }
  return rows;
}

void Run::Draw() {
  std::vector<Band> bands;
  std::vector<RowTexts> rows = Rows(&bands);
  std::string stamp = LocalClockText(env_.clock.WallSeconds());
  std::string screen = "\x1b[H\x1b[2J";
  screen += std::string(kAppTitle) + "  " + stamp + "\n\n";
  const std::size_t width = env_.columns ? env_.columns() : 0;
  screen += RenderFittedTable(rows, bands, {width, env_.colour});
  screen += "\n" + Footer();
  for (const std::string& warning : warnings_) screen += warning + "\n";
  eventLines_->Take();
  for (const std::string& line : eventLines_->Recent()) screen += FitLine(line, width) + "\n";
  env_.out << screen << std::flush;
}

void Run::FetchLogs() {
  for (int i : selected_) {
    if (env_.wait(0)) {
      interrupted_ = true;
      env_.err << "Interrupted: no more logs fetched.\n" << std::flush;
      return;
    }
    const TestedPhone& phone = phones_[static_cast<std::size_t>(i)];
    std::string name = LogFileName(phone.entry.userName, phone.serial);
    if (!plan_.outputDir.empty()) name = plan_.outputDir + "/" + name;
    UseCommunity(phone.site->community);  // the log is read with its site's community
    const bool fetched = env_.backend.GetPhoneLog(phone.entry.scannedAddress, name.c_str());
    // A signal during the retrieval ends it between two rows, without a file.
    if (env_.wait(0)) {
      interrupted_ = true;
      env_.err << "Interrupted: no more logs fetched.\n" << std::flush;
      return;
    }
    if (!fetched) Warn(FillMessage(kMsgLogFailed, phone.entry.userName, phone.serial));
    for (const std::string& path : env_.opener.Take()) {
      logFiles_[i] = path;
      env_.out << "Log file: " << PrintableText(path) << '\n' << std::flush;
    }
    // What the file leaves out is said here, never written into it.
    for (const std::string& note : env_.opener.TakeNotes()) {
      env_.out << "Log " << PrintableText(note) << '\n' << std::flush;
    }
    ReportWriteFailures();
  }
}

void Run::Summarise() {
  std::vector<Band> bands;
  std::vector<RowTexts> rows = Rows(&bands);
  // On a terminal, as the live table: fitted to its width rather than wrapped.
  const std::size_t width = env_.terminal && env_.columns ? env_.columns() : 0;
  env_.out << "\nLast figures:\n" << RenderFittedTable(rows, bands, {width, env_.colour})
           << "\nResults:\n";
  for (std::size_t slot = 0; slot < selected_.size(); ++slot) {
    const TestedPhone& phone = phones_[static_cast<std::size_t>(selected_[slot])];
    std::vector<CycleRecord> cycles = recorder_->Cycles(phone.serial);
    double worstMos = 4.5;
    int32_t poorWindows = 0;
    for (const CycleRecord& c : cycles) {
      if (c.voice.loss.sent > 0) worstMos = std::min(worstMos, c.voice.worstWindowMos);
      poorWindows += c.voice.poorWindows;
    }
    const TestEnd end = env_.backend.Snapshot(*phone.test).end;
    const PhoneState state =
        scheduler_ ? scheduler_->State(static_cast<int>(slot)) : PhoneState::kNotStarted;
    stages_.push_back(StageOf(state, !cycles.empty()));
    const Verdict verdict = Judge(stages_.back(), cycles, end, plan_.minMos);
    outcomes_.push_back(verdict.outcome);
    env_.out << "  " << PrintableText(phone.entry.userName) << ":" << PrintableText(phone.serial)
             << "  " << OutcomeName(verdict.outcome);
    if (!Tested(verdict.outcome) && CauseOf(state) != NotTested::kNone) {
      env_.out << ": " << NotTestedText(CauseOf(state));
    }
    if (const char* why = TestEndExplanation(end)) env_.out << ", " << why;
    // A usable phone in an amber band says why.
    if (verdict.outcome == Outcome::kUsable && !verdict.reason.empty()) {
      env_.out << ", but " << verdict.reason;
    }
    if (!cycles.empty()) {
      env_.out << " (" << cycles.size() << (cycles.size() == 1 ? " cycle" : " cycles");
      if (verdict.unusableCycles > 0) {
        env_.out << ", " << verdict.unusableCycles << " not usable for voice";
      }
      env_.out << ", worst MOS " << fmt::format("{:.2f}", worstMos) << ", " << poorWindows
               << (poorWindows == 1 ? " poor window" : " poor windows");
      env_.out << ")  history: "
               << PrintableText(HistoryFileName(phone.entry.userName, phone.serial));
    }
    env_.out << '\n';
  }
  SummariseSites();
  for (const WriteFailure& failure : env_.backend.AllWriteFailures()) {
    env_.out << "Not written: " << PrintableText(failure.path) << " (" << failure.count
             << (failure.count == 1 ? " write lost: " : " writes lost: ") << failure.reason
             << ")\n";
  }
  env_.out << std::flush;
}

void Run::SummariseSites() {
  if (env_.shared == nullptr) return;
  const int tested = static_cast<int>(std::count_if(
      outcomes_.begin(), outcomes_.end(), [](Outcome o) { return Tested(o); }));
  cli::SummariseSites(env_.out, JudgeSites(Report(kExitUsable)), *env_.shared,
                      kKeptSharedInterruptions, tested);
}

int Run::Finish(int status) {
  if (plan_.jsonPath.empty() && plan_.reportPath.empty()) return status;
  const RunReport report = Report(status);
  // Both reports are written, whichever fails: one lost is no reason to lose the other.
  const int jsonStatus = WriteJsonReport(report, status);
  return WriteSiteReport(report, jsonStatus);
}

RunReport Run::Report(int status) {
  RunReport report;
  report.startedAt = startedAt_;
  report.endedAt = env_.clock.WallSeconds();
  report.defaultCommunity = std::any_of(sites_.begin(), sites_.end(), [](const Site& site) {
    return IsDefaultCommunity(site.community);
  });
  report.durationMinutes = LongestMinutes();
  int32_t shortest = report.durationMinutes;
  for (const Site& site : sites_) shortest = std::min(shortest, site.durationMinutes);
  if (shortest < report.durationMinutes) report.shortestMinutes = shortest;
  report.maxConcurrentTests = Limit();
  report.minMos = plan_.minMos;
  report.dscp = plan_.settings.dscp;
  report.interrupted = interrupted_;
  report.exitStatus = status;
  for (const Site& site : sites_) {
    for (const AddressRange& range : site.ranges) {
      report.ranges.push_back(range.first == range.last ? range.first
                                                        : range.first + "-" + range.last);
    }
  }
  for (std::size_t i = 0; i < phones_.size(); ++i) {
    const TestedPhone& phone = phones_[i];
    PhoneReport p;
    p.entry = phone.entry;
    auto at = std::find(selected_.begin(), selected_.end(), static_cast<int>(i));
    p.selected = at != selected_.end();
    std::size_t slot = static_cast<std::size_t>(at - selected_.begin());
    p.state = p.selected && scheduler_ ? StateName(scheduler_->State(static_cast<int>(slot)))
                                       : "not-selected";
    if (p.selected && slot < stages_.size()) p.stage = stages_[slot];
    p.historyFile = HistoryFileName(phone.entry.userName, phone.serial);
    if (auto log = logFiles_.find(static_cast<int>(i)); log != logFiles_.end()) {
      p.logFile = log->second;
    }
    p.cycles = recorder_->Cycles(phone.serial);
    if (p.selected) p.endReason = env_.backend.Snapshot(*phone.test).end;
    if (!p.selected) {
      // Phones found before an interruption of the scan were not tested for that.
      p.notTested = interrupted_ && !scheduler_ ? NotTested::kInterrupted : NotTested::kNotSelected;
    } else if (scheduler_) {
      p.notTested = CauseOf(scheduler_->State(static_cast<int>(slot)));
    }
    p.notTestedReason = NotTestedText(p.notTested);
    if (env_.shared != nullptr) p.site = env_.shared->SiteOf(phone.Identity());
    report.phones.push_back(std::move(p));
  }
  for (const SetAside& n : notTestable_) {
    PhoneReport p;
    p.entry = n.entry;
    p.state = "not-testable";
    p.historyFile = HistoryFileName(p.entry.userName, p.entry.serialNumber);
    p.notTestedReason = n.reason;
    p.notTested = n.cause;
    if (env_.shared != nullptr) {
      p.site = env_.shared->SiteOf(p.entry.serialNumber, p.entry.scannedAddress);
    }
    report.phones.push_back(std::move(p));
  }
  report.site = plan_.site;
  if (env_.shared != nullptr) report.shared = env_.shared->Decided();
  return report;
}

int Run::WriteSiteReport(const RunReport& report, int status) {
  if (plan_.reportPath.empty()) return status;
  std::string error;
  if (!WriteFileAtomically(plan_.reportPath, FormatSiteReport(report, kVersion), error)) {
    env_.err << error << '\n' << std::flush;
    return status == kExitUsable ? kExitUnusable : status;
  }
  env_.out << "Site report: " << plan_.reportPath << '\n' << std::flush;
  return status;
}

int Run::WriteJsonReport(const RunReport& report, int status) {
  if (plan_.jsonPath.empty()) return status;
  std::string error;
  const std::string text = FormatReport(report);
  if (plan_.jsonPath == kJsonToStdout) {
    std::ostream& json = env_.jsonOut != nullptr ? *env_.jsonOut : env_.out;
    if (!(json << text << std::flush)) {
      env_.err << "cannot write the report to standard output\n" << std::flush;
      return status == kExitUsable ? kExitUnusable : status;
    }
  } else if (!WriteFileAtomically(plan_.jsonPath, text, error)) {
    env_.err << error << '\n' << std::flush;
    // The report is lost: the run's results are not complete.
    return status == kExitUsable ? kExitUnusable : status;
  } else {
    env_.out << "Report: " << plan_.jsonPath << '\n' << std::flush;
  }
  return status;
}

int Run::Execute() {
  startedAt_ = env_.clock.WallSeconds();
  env_.backend.AddObserver(recorder_);
  if (eventsWanted_) env_.backend.AddObserver(eventLines_);
  if (!ScanRanges()) {
    interrupted_ = true;
    env_.err << "Interrupted during the scan: no test started.\n" << std::flush;
    CollectPhones();
    for (const TestedPhone& phone : phones_) {
      TellNotTested(phone.Identity(), NotTested::kInterrupted,
                    NotTestedText(NotTested::kInterrupted));
    }
    return Finish(InterruptedStatus(env_));
  }
  CollectPhones();
  if (phones_.empty()) return Finish(kExitNothingRun);  // the scan said why
  // The registry holds a test for at most 128 phones; a phone beyond them cannot be tested,
  // and a run that quietly skipped it must not pass for a clean one.
  const int32_t found = NoteUntestablePhones();
  if (std::string message = SelectPhones(); !message.empty()) {
    env_.err << PrintableText(message) << '\n' << std::flush;
    return kExitBadInput;
  }
  if (selected_.empty()) return Finish(kExitNothingRun);  // no phone of the sites' was found
  const bool leftOut = everyPhone_ && found > static_cast<int32_t>(phones_.size());
  if (leftOut) {
    Warn(std::to_string(found) + " phones were found, but only " +
         std::to_string(phones_.size()) + " can be tested in one run; the others are left out.");
  }
  WarnSharedHistoryFiles();
  TestPhones();
  if (plan_.fetchLogs && !interrupted_) FetchLogs();
  ReportWriteFailures();
  Summarise();
  int status = ExitStatus(outcomes_);
  const bool setAside = everyPhone_ && !notTestable_.empty();
  if ((leftOut || setAside || incomplete_) && status == kExitUsable) status = kExitUnusable;
  if (interrupted_) status = InterruptedStatus(env_);
  return Finish(status);
}

}  // namespace

int RunCli(const RunPlan& plan, CliEnvironment& env) { return Run(plan, env).Execute(); }

}  // namespace pathmon::cli
