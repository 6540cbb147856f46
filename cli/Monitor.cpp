// SPDX-License-Identifier: Apache-2.0
#include "cli/Monitor.h"

#include <strings.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <ctime>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

#include "cli/EventLines.h"
#include "cli/EventStream.h"
#include "cli/Metrics.h"
#include "cli/MonitorScheduler.h"
#include "cli/ResultTable.h"
#include "cli/TableView.h"
#include "cli/TestScheduler.h"
#include "cli/TestStarter.h"
#include "discovery/PhoneListMgr.h"
#include "frontend/AddPhonesPresenter.h"
#include "frontend/Messages.h"
#include "frontend/SharedInterruptions.h"
#include "transport/Clock.h"
#include "transport/FileWrite.h"

namespace pathmon::cli {

namespace {

using std::chrono::duration_cast;
using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr int kScanPollMs = 50;     // how often the scan thread looks for its probes' end
// The summary lists the latest shared interruptions; the event stream has every one.
constexpr std::size_t kSummarySharedLines = 20;

// What the summary says of each phone: bounded however long the run is.
class Tally final : public TestObserver {
 public:
  explicit Tally(double minMos) : minMos_(minMos) {}
  struct Counts {
    int64_t cycles = 0, unusable = 0;
  };
  void OnCycleResult(const CycleResult& result) override {
    std::lock_guard lock(mutex_);
    Counts& c = counts_[result.phone.serialNumber];
    ++c.cycles;
    if (!CycleUsable(CycleRecord{result.wallSeconds, result.stats, result.voice}, minMos_)) {
      ++c.unusable;
    }
  }
  Counts Of(const std::string& serial) {
    std::lock_guard lock(mutex_);
    auto it = counts_.find(serial);
    return it == counts_.end() ? Counts{} : it->second;
  }

 private:
  const double minMos_;
  std::mutex mutex_;
  std::map<std::string, Counts> counts_;
};

struct Phone : TestedPhone {
  std::string lastFailure;  // why the last try that failed did, in words
};

class Monitor {
 public:
  Monitor(const MonitorPlan& plan, CliEnvironment& env)
      : plan_(plan), env_(env), scheduler_(ConcurrentLimit(plan.sites)) {}
  int Execute();

 private:
  void StartScan();
  void ScanSites(int64_t wallStart);  // the scan thread
  void EndScan();
  void LaunchStart(const std::string& serial);
  void CollectStarts(bool block);
  void CheckRunning();
  void StopEverything();
  void Draw();
  void Note(const std::string& text);
  // A phone found that cannot be tested, noted (when note) and streamed once.
  void SetAside(const PhoneEntry& entry, NotTested cause, const std::string& text,
                bool note = true);
  void ReportWriteFailures();
  void Summarise();

  const MonitorPlan& plan_;
  CliEnvironment& env_;
  MonitorScheduler scheduler_;
  TestStarter starter_{env_.backend};     // before the phones: their starts use it
  std::map<std::string, Phone> phones_;  // by serial number as the test has it
  std::shared_ptr<Tally> tally_ = std::make_shared<Tally>(plan_.minMos);
  const LiveOutput live_ = LiveOutputFor(plan_.verbosity, env_.terminal);
  // The lines under the table with -v; in the table's place when out is no terminal.
  const bool eventsWanted_ = live_ == LiveOutput::kLines || plan_.verbosity == Verbosity::kVerbose;
  std::shared_ptr<EventLines> eventLines_ = std::make_shared<EventLines>(plan_.minMos);
  std::vector<std::string> notes_;  // the latest notes, shown under the table
  std::atomic<bool> cancel_{false};
  std::future<void> scan_;
  std::atomic<bool> scanEnded_{false};
  int64_t scanWallStart_ = 0;
  Clock::TimePoint nextScan_{};
  bool scanned_ = false;  // a scan has ended
  bool registryFullNoted_ = false;
  // "ADDRESS CODE" (the cause's code word) of the phones set aside so far.
  std::set<std::string> setAsideNoted_;
};

void Monitor::Note(const std::string& text) {
  const std::string line = LocalClockText(env_.clock.WallSeconds()) + "  " + PrintableText(text);
  env_.err << line << '\n' << std::flush;
  notes_.push_back(line);
  if (notes_.size() > kRecentEventLines) notes_.erase(notes_.begin());
}

void Monitor::SetAside(const PhoneEntry& entry, NotTested cause, const std::string& text,
                       bool note) {
  if (!setAsideNoted_.insert(std::string(entry.scannedAddress) + " " + NotTestedName(cause))
           .second) {
    return;
  }
  if (note) Note(std::string("Phone at ") + entry.scannedAddress + " not tested: " + text);
  if (env_.events == nullptr) return;
  env_.events->NotTested(IdentityOf(entry), NotTestedName(cause), text);
}

// As the one-off run: each file once, when it first fails; the summary gives the count.
void Monitor::ReportWriteFailures() {
  for (const WriteFailure& failure : env_.backend.TakeWriteFailures()) {
    Note(WriteFailureMessage(failure));
  }
}

void Monitor::StartScan() {
  scanEnded_.store(false);
  scanWallStart_ = env_.clock.WallSeconds();
  // The walk asks for a signal before every address.
  env_.discovery.SetStopCheck([this] { return cancel_.load() || env_.wait(0); });
  const int64_t wallStart = scanWallStart_;
  scan_ = std::async(std::launch::async, [this, wallStart] {
    ScanSites(wallStart);
    scanEnded_.store(true);
  });
}

// The sites one after another: the directory probes with one community at a time, so a
// site's probes end before the next site's community is set.
void Monitor::ScanSites(int64_t wallStart) {
  for (const Site& site : plan_.sites) {
    const Clock::TimePoint began = env_.clock.Now();
    env_.setCommunity(site.community.c_str());
    int32_t found = 0;
    for (const AddressRange& range : site.ranges) {
      if (cancel_.load()) return;
      if (env_.events != nullptr) env_.events->ScanStarted(site.name, range.first, range.last);
      const Clock::TimePoint rangeBegan = env_.clock.Now();
      env_.discovery.StartDiscovery(range.first.c_str(), range.last.c_str());
      while (env_.discovery.GetBusySlotCount() > 0 && !cancel_.load()) {
        std::this_thread::sleep_for(milliseconds(kScanPollMs));
      }
      int32_t inRange = 0;
      for (const PhoneEntry& e : env_.discovery.Phones()) {
        if (e.probeTime >= wallStart && InRange(e.scannedAddress, range)) ++inRange;
      }
      found += inRange;
      if (env_.events != nullptr) {
        env_.events->ScanFinished(
            site.name, range.first, range.last, inRange,
            std::chrono::duration<double>(env_.clock.Now() - rangeBegan).count());
      }
    }
    if (env_.metrics != nullptr) {
      env_.metrics->ScanDone(site.name, found,
                             std::chrono::duration<double>(env_.clock.Now() - began).count());
    }
  }
}

// The fleet is what the scan that just ended heard from: a phone the directory still holds
// but that did not answer this scan has vanished (or moved to an address no site covers).
void Monitor::EndScan() {
  scan_.get();
  env_.discovery.SetStopCheck({});
  scanned_ = true;
  nextScan_ = env_.clock.Now() + std::chrono::minutes(plan_.rescanMinutes);
  if (cancel_.load()) return;

  env_.backend.CreateLoopTestsForPhones();
  const std::vector<FleetPhone> tests = FleetSnapshot(env_.backend);
  std::vector<std::string> fleet;
  std::map<std::string, std::string> firstAddress;  // by serial number: the address found first
  std::vector<std::string> untestable;
  for (const PhoneEntry& e : env_.discovery.Phones()) {
    if (e.probeTime < scanWallStart_) continue;
    const Site* site = SiteOfPhone(plan_.sites, e);
    if (site == nullptr) continue;
    auto test = std::find_if(tests.begin(), tests.end(), [&](const FleetPhone& t) {
      return strcasecmp(t.serial.c_str(), e.serialNumber) == 0;
    });
    if (test == tests.end()) {
      untestable.push_back(e.serialNumber);
      // Noted together below.
      SetAside(e, NotTested::kTooManyPhones, NotTestedText(NotTested::kTooManyPhones), false);
      continue;
    }
    const std::string& serial = test->serial;
    // The registry keys its tests by serial number: the first phone found has the test.
    if (auto first = firstAddress.find(serial); first != firstAddress.end()) {
      SetAside(e, NotTested::kDuplicateSerial,
               DuplicateSerialText(e.serialNumber, first->second.c_str()));
      continue;
    }
    firstAddress.emplace(serial, e.scannedAddress);
    Phone& phone = phones_[serial];
    phone.site = site;
    // A running test keeps the identity it started with.
    if (scheduler_.State(serial) != MonitorState::kRunning &&
        scheduler_.State(serial) != MonitorState::kStarting) {
      static_cast<FleetPhone&>(phone) = *test;
      phone.SetEntry(e);  // as this scan heard it
    }
    if (env_.metrics != nullptr) {
      env_.metrics->SetPhoneSite(serial, site->name);
      env_.metrics->Register(phone.Identity());
    }
    if (env_.events != nullptr) env_.events->SetPhoneSite(serial, site->name);
    if (env_.shared != nullptr && plan_.sitesFromFile) env_.shared->PlacePhone(serial, site->name);
    fleet.push_back(serial);
  }
  for (const PhoneNotKept& n : env_.discovery.PhonesNotKept()) {
    if (n.entry.probeTime >= scanWallStart_) SetAside(n.entry, NotTestedOf(n.cause), n.reason);
  }
  if (!untestable.empty() && !registryFullNoted_) {
    registryFullNoted_ = true;
    std::string text = std::to_string(untestable.size()) +
                       " phones found cannot be tested: one run tests at most 128 phones:";
    for (const std::string& s : untestable) text += " " + s;
    Note(text);
  }
  const MonitorScheduler::Change change = scheduler_.Update(fleet, env_.clock.Now());
  const bool first = phones_.size() == change.joined.size() && change.dropped.empty();
  if (!first) {
    for (const std::string& serial : change.joined) {
      Note("Phone " + serial + " joined the fleet.");
      if (env_.events != nullptr) env_.events->FleetChange("phone-joined", serial);
    }
  }
  for (const std::string& serial : change.dropped) {
    Note("Phone " + serial + " did not answer the scan: no longer tested.");
    if (env_.events != nullptr) env_.events->FleetChange("phone-dropped", serial);
  }
  if (fleet.empty()) {
    Note("No phone found; the next scan is in " + std::to_string(plan_.rescanMinutes) +
         " min.");
  }
}

void Monitor::LaunchStart(const std::string& serial) {
  Phone& phone = phones_.at(serial);
  starter_.Launch(phone, phone.site->durationMinutes * 60);
}

void Monitor::CollectStarts(bool block) {
  for (auto& [serial, phone] : phones_) {
    const std::optional<StartResult> result = starter_.Collect(phone, block);
    if (!result) continue;
    const Clock::TimePoint now = env_.clock.Now();
    switch (*result) {
      case StartResult::kStarted:
        scheduler_.StartSucceeded(serial, now);
        phone.startedAt = now;
        break;
      case StartResult::kFailed: {
        phone.lastFailure = NotTestedText(NotTested::kNoAnswer);
        const auto backoff = scheduler_.StartFailed(serial, now);
        std::string text = FillMessage(kMsgStartFailed, phone.entry.userName, serial.c_str());
        if (backoff.count() > 0) {
          text += "; next try in " + std::to_string(backoff.count()) + " min";
        }
        Note(text + "; " + phone.lastFailure);
        TellStartFailed(env_, phone.Identity());
        if (env_.events != nullptr) {
          // A phone that left the fleet at a rescan is not tried again.
          const bool dropped = scheduler_.State(serial) == MonitorState::kDropped;
          env_.events->Retry(serial, phone.entry.userName, phone.entry.scannedAddress,
                             "start-failed", dropped ? -1 : backoff.count());
        }
        break;
      }
      case StartResult::kCancelled:
        scheduler_.StartCancelled(serial);
        break;
    }
  }
}

void Monitor::CheckRunning() {
  const Clock::TimePoint now = env_.clock.Now();
  for (auto& [serial, phone] : phones_) {
    if (scheduler_.State(serial) != MonitorState::kRunning) continue;
    const TestSnapshot snapshot = env_.backend.Snapshot(*phone.test);
    if (eventsWanted_) {
      eventLines_->NoteSilence(phone.entry.userName, serial, snapshot, env_.clock.WallSeconds());
    }
    if (snapshot.running) continue;
    const bool failure = EndedAsFailure(snapshot.end, now - phone.startedAt);
    const auto wait = scheduler_.Finished(serial, snapshot.end, now);
    if (const char* why = TestEndExplanation(snapshot.end); failure && why != nullptr) {
      phone.lastFailure = why;
    }
    if (failure && scheduler_.State(serial) == MonitorState::kWaiting) {
      std::string text = "Phone " + std::string(phone.entry.userName) + ":" + serial +
                         " ended its test at once (" + TestEndName(snapshot.end) + ")";
      Note(text + "; next try in " + std::to_string(wait.count()) + " min");
      if (env_.events != nullptr) {
        env_.events->Retry(serial, phone.entry.userName, phone.entry.scannedAddress,
                           TestEndName(snapshot.end), wait.count());
      }
    }
  }
  for (auto& [serial, phone] : phones_) {
    if (scheduler_.State(serial) == MonitorState::kDropped && env_.metrics != nullptr) {
      env_.metrics->Drop(serial);
    }
  }
}

// Every running test stopped at once, as the normal run's interruption does.
void Monitor::StopEverything() {
  cancel_.store(true);
  starter_.Cancel();
  CollectStarts(true);
  starter_.StopAll();
  if (scan_.valid()) scan_.get();
  env_.discovery.SetStopCheck({});
}

void Monitor::Draw() {
  std::vector<RowTexts> rows;
  std::vector<Band> bands;
  for (const std::string& serial : scheduler_.Phones()) {
    LiveRow row = ReadLiveRow(env_.backend, phones_.at(serial), plan_.minMos);
    rows.push_back(std::move(row.texts));
    bands.push_back(row.band);
  }
  const Clock::TimePoint now = env_.clock.Now();
  std::string footer;
  if (!scanned_) {
    footer += "Scanning the sites' ranges.\n";
  } else {
    footer += "Next scan in " +
              FormatDuration(duration_cast<seconds>(nextScan_ - now).count()) + "; at most " +
              std::to_string(scheduler_.Limit()) + " tests at once.\n";
  }
  for (const std::string& serial : scheduler_.Phones()) {
    const auto ready = scheduler_.ReadyAt(serial);
    if (!ready || *ready <= now || scheduler_.Failures(serial) == 0) continue;
    footer += "Retry " + PrintableText(serial) + " in " +
              FormatDuration(duration_cast<seconds>(*ready - now).count()) + " (" +
              std::to_string(scheduler_.Failures(serial)) + " failed tries)\n";
  }
  eventLines_->Take();
  const std::string stamp = LocalClockText(env_.clock.WallSeconds());
  const std::size_t width = env_.columns ? env_.columns() : 0;
  std::string screen = "\x1b[H\x1b[2J";
  screen += std::string(kAppTitle) + "  " + stamp + "\n\n" +
            RenderFittedTable(rows, bands, {width, env_.colour}) + "\n" + footer;
  for (const std::string& note : notes_) screen += FitLine(note, width) + "\n";
  for (const std::string& e : eventLines_->Recent()) screen += FitLine(e, width) + "\n";
  env_.out << screen << std::flush;
}

void Monitor::Summarise() {
  env_.out << "\nResults:\n";
  for (const auto& [serial, phone] : phones_) {
    const Tally::Counts counts = tally_->Of(serial);
    env_.out << "  " << PrintableText(phone.entry.userName) << ":" << PrintableText(serial)
             << "  " << counts.cycles << (counts.cycles == 1 ? " cycle" : " cycles");
    if (counts.unusable > 0) env_.out << ", " << counts.unusable << " not usable for voice";
    if (scheduler_.Failures(serial) > 0) {
      env_.out << ", " << scheduler_.Failures(serial)
               << " failed tries in a row; the last: " << PrintableText(phone.lastFailure);
    }
    env_.out << '\n';
  }
  if (env_.shared != nullptr) {
    int tested = 0;
    for (const auto& [serial, phone] : phones_) tested += tally_->Of(serial).cycles > 0 ? 1 : 0;
    // A monitor has no end to judge a site by: its summary lists what was seen together.
    SummariseSites(env_.out, {}, *env_.shared, kSummarySharedLines, tested);
  }
  for (const WriteFailure& failure : env_.backend.AllWriteFailures()) {
    env_.out << "Not written: " << PrintableText(failure.path) << " (" << failure.count
             << (failure.count == 1 ? " write lost: " : " writes lost: ") << failure.reason
             << ")\n";
  }
  env_.out << std::flush;
}

int Monitor::Execute() {
  env_.backend.AddObserver(tally_);
  if (eventsWanted_) env_.backend.AddObserver(eventLines_);
  StartScan();
  Clock::TimePoint lastDraw{};
  bool drawn = false;
  // Until a signal.
  while (!env_.wait(kPollMs)) {
    CollectStarts(false);
    CheckRunning();
    ReportWriteFailures();
    if (env_.shared != nullptr) env_.shared->Poll();
    const Clock::TimePoint now = env_.clock.Now();
    if (scan_.valid() && scanEnded_.load()) EndScan();
    if (!scan_.valid() && now >= nextScan_) StartScan();
    for (const std::string& serial : scheduler_.TakeStartable(now)) LaunchStart(serial);
    if (live_ == LiveOutput::kLines) {
      PrintEventLines(*eventLines_, env_.out);
    } else if (live_ == LiveOutput::kTable &&
               (!drawn || now - lastDraw >= milliseconds(kRedrawMs))) {
      Draw();
      lastDraw = now;
      drawn = true;
    }
  }
  env_.err << "Interrupted: stopping every running test.\n" << std::flush;
  StopEverything();
  CheckRunning();
  ReportWriteFailures();  // the final lines
  // Every test has ended: what the correlator still holds is decided before the summary.
  if (env_.shared != nullptr) env_.shared->Flush();
  if (live_ == LiveOutput::kLines) PrintEventLines(*eventLines_, env_.out);  // the tests' ends
  Summarise();

  const int status = InterruptedStatus(env_);
  if (env_.events != nullptr) env_.events->RunEnded(status, true);
  return status;
}

}  // namespace

int RunMonitor(const MonitorPlan& plan, CliEnvironment& env) {
  return Monitor(plan, env).Execute();
}

}  // namespace pathmon::cli
