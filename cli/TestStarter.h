// SPDX-License-Identifier: Apache-2.0
#pragma once
// What the one-off run and the monitor share in running a fleet's tests: the phone record,
// each start (the Start command's sequence, frontend/Fleet.h) on a thread of its own so that
// the run keeps drawing and sees a signal, every running test stopped at once, the exit
// statuses and the summary's lines of the sites and the interruptions seen together. Which
// phone may start when (the concurrent limit, the line, the backoff) is the schedulers'
// (TestScheduler.h, MonitorScheduler.h).
//
// Contract: the run's own thread; the starts run on threads of their own.

#include <atomic>
#include <future>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "cli/CliRun.h"
#include "cli/Site.h"
#include "frontend/Fleet.h"
#include "frontend/SharedInterruptions.h"
#include "frontend/SiteVerdict.h"
#include "frontend/Verdict.h"
#include "transport/Clock.h"

namespace pathmon::cli {

// A phone of the run: its test, directory entry and address, and what the run keeps of it.
struct TestedPhone : FleetPhone {
  explicit TestedPhone(FleetPhone phone = {}) : FleetPhone(std::move(phone)) {}
  const Site* site = nullptr;      // the site it is tested for: its duration and community
  std::future<StartResult> start;  // a start under way
  Clock::TimePoint startedAt{};    // when its last test started
};

// Whether the dotted address lies within the range.
bool InRange(const char* address, const AddressRange& range);
// The first of the sites whose ranges hold the phone's address and whose serial numbers (none:
// every phone) name it; with anySerial the first whose ranges hold it. nullptr when none does.
const Site* SiteOfPhone(const std::vector<Site>& sites, const PhoneEntry& entry,
                        bool anySerial = false);
// The phone as the event stream and the metrics name it, from its directory entry.
TestIdentity IdentityOf(const PhoneEntry& entry);
// Why a phone found is set aside: the registry keys its tests by serial number, and the phone
// at otherAddress, found first, has the test of this one.
std::string DuplicateSerialText(const char* serial, const char* otherAddress);
// One engine tests every site: the strictest community's limit of concurrent tests holds for
// all of them.
int32_t ConcurrentLimit(const std::vector<Site>& sites);

// It must outlive the phones it launched: their starts use it.
class TestStarter {
 public:
  explicit TestStarter(MainBackend& backend) : backend_(backend) {}

  // Starts the phone's test on a thread of its own.
  void Launch(TestedPhone& phone, int32_t durationSeconds);
  // The phone's start once it has ended (block: waits for it); nothing while it is under way
  // or when none was launched.
  std::optional<StartResult> Collect(TestedPhone& phone, bool block);
  // The starts under way and every later one end at their next try, as kCancelled.
  void Cancel() { cancelled_.store(true); }
  // Close's stop, for every test of the registry that runs, but all at once: one after
  // another, fifty tests would take two minutes to stop. Each stop still waits until its test
  // has delivered its final cycle result (and with it the last history line).
  void StopAll();

 private:
  MainBackend& backend_;
  std::atomic<bool> cancelled_{false};
};

// The exit status of a run from its phones' verdicts: 0 when every tested phone was usable; 1
// when one was not, was not tested to the end, or did not start (a phone that cannot be
// tested needs the administrator as much as a bad one); 3 when no test started.
int ExitStatus(const std::vector<Outcome>& outcomes);
// A start that failed (no answer to the control exchange), told to the event stream and the
// metrics alike; each run says it on its own terms to the person.
void TellStartFailed(CliEnvironment& env, const TestIdentity& phone);
// After a signal: 128 + the signal's number (SIGINT when the environment does not tell).
int InterruptedStatus(const CliEnvironment& env);

// The summary's lines after the phones' results: under "Sites:" one per site, fit for voice
// or not and why (none without sites); under "Interruptions seen together:" the last `limit`
// shared interruptions, or "none" when tested (the phones tested) is two or more.
void SummariseSites(std::ostream& out, const std::vector<SiteVerdict>& sites,
                    const SharedInterruptions& shared, std::size_t limit, int tested);

}  // namespace pathmon::cli
