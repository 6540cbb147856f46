// SPDX-License-Identifier: Apache-2.0
#include "discovery/DiscoveryScan.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <system_error>

#include "discovery/PhoneDirectory.h"
#include "transport/Clock.h"
#include "transport/DebugTrace.h"

namespace pathmon {

namespace {

constexpr const char* kModule = "PhoneListMgr";
constexpr int32_t kSpawnPauseMs = 20;
constexpr int32_t kAllBusyPauseMs = 1000;
constexpr int32_t kSpawnFailurePauseMs = 10000;
constexpr int32_t kStopCheckMs = 250;

}  // namespace

DiscoveryScan::DiscoveryScan(PhoneDirectory& directory, Clock& clock)
    : directory_(directory),
      clock_(clock),
      startThread_([](std::function<void()> body) { return std::thread(std::move(body)); }),
      slots_(std::make_unique<WorkerSlot[]>(kWorkerSlots)) {
  for (int i = 0; i < kWorkerSlots; ++i) {
    std::memset(slots_[i].addressText, 0, sizeof slots_[i].addressText);
  }
}

DiscoveryScan::~DiscoveryScan() {
  for (int i = 0; i < kWorkerSlots; ++i) {
    if (slots_[i].threadHandle.joinable()) slots_[i].threadHandle.join();
  }
}

void DiscoveryScan::SetThreadStarter(ThreadStarter starter) { startThread_ = std::move(starter); }

void DiscoveryScan::SetStopCheck(std::function<bool()> stop) { stop_ = std::move(stop); }

bool DiscoveryScan::Stopped() { return stopped_ || (stop_ && (stopped_ = stop_())); }

void DiscoveryScan::Pause(int32_t ms) {
  if (!stop_) {
    clock_.SleepMs(ms);
    return;
  }
  // In steps, so that a stop is seen within kStopCheckMs even during the long pauses.
  while (ms > 0 && !Stopped()) {
    const int32_t step = std::min(ms, kStopCheckMs);
    clock_.SleepMs(step);
    ms -= step;
  }
}

void RaiseOpenFileLimit() {
  // Each probe holds a socket for as long as its agent takes to answer or time out; 256 of
  // them at once need more descriptors than a soft limit of 256 or less leaves. A probe that
  // still finds none is counted and traced as not probed (see UnprobedCount).
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max) return;
  limit.rlim_cur = limit.rlim_max;
  ::setrlimit(RLIMIT_NOFILE, &limit);
}

bool DiscoveryScan::StartDiscovery(const char* first, const char* last) {
  // inet_aton reads the same texts as inet_addr but tells 255.255.255.255 from a text that
  // is no address, so a range ending at the broadcast address is walked like any other.
  in_addr from{};
  in_addr to{};
  if (first == nullptr || last == nullptr || inet_aton(first, &from) == 0 ||
      inet_aton(last, &to) == 0) {
    return false;
  }
  RaiseOpenFileLimit();
  stopped_ = false;
  answered_.store(0, std::memory_order_relaxed);
  timedOut_.store(0, std::memory_order_relaxed);
  ScanRange(ntohl(from.s_addr), ntohl(to.s_addr));
  return true;
}

void DiscoveryScan::ScanRange(uint32_t first, uint32_t last) {
  // A 64-bit counter: the step after 255.255.255.255 must end the walk, not wrap to 0.
  for (uint64_t address = first; address <= last && !Stopped(); ++address) {
    in_addr a{};
    a.s_addr = htonl(static_cast<uint32_t>(address));
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &a, text, sizeof text);
    SpawnProbeWorker(text);
  }
}

void DiscoveryScan::SpawnProbeWorker(const char* address) {
  int slot = ClaimWorkerSlot();
  while (slot < 0) {
    DebugTrace(__LINE__, kModule, nullptr, "All Thread Slots are occupied, Waiting!!");
    Pause(kAllBusyPauseMs);
    if (Stopped()) return;
    slot = ClaimWorkerSlot();
  }

  ++workersSpawned_;
  DebugTrace(__LINE__, kModule, nullptr, "(%-5d)Spawning SNMP Worker thread for %s in slot %d",
             workersSpawned_, address, slot);

  WorkerSlot& s = slots_[slot];
  std::snprintf(s.addressText, sizeof s.addressText, "%s", address);
  try {
    s.threadHandle = startThread_([this, slot] { ProbeWorker(slot); });
  } catch (const std::system_error&) {
    DebugTrace(__LINE__, kModule, nullptr,
               "Failed to create worker thread for %s freeing %d thread slot", address, slot);
    s.busy.store(0, std::memory_order_release);
    Pause(kSpawnFailurePauseMs);
    return;
  }
  clock_.SleepMs(kSpawnPauseMs);
}

int DiscoveryScan::ClaimWorkerSlot() {
  for (int i = 0; i < kWorkerSlots; ++i) {
    WorkerSlot& s = slots_[i];
    if (s.busy.load(std::memory_order_acquire) != 0) continue;
    // The earlier worker has cleared its flag, so it is at most returning: joining is brief.
    if (s.threadHandle.joinable()) s.threadHandle.join();
    std::memset(s.addressText, 0, sizeof s.addressText);
    s.busy.store(1, std::memory_order_relaxed);  // only this thread reads it before the start
    return i;
  }
  return -1;
}

void DiscoveryScan::ProbeWorker(int slot) {
  WorkerSlot& s = slots_[slot];
  ProbeResult heard = ProbeResult::kNotSent;
  directory_.AddPhone(s.addressText, directory_.GetCommunity(), &heard);
  if (heard == ProbeResult::kPhone || heard == ProbeResult::kAnswered) {
    answered_.fetch_add(1, std::memory_order_relaxed);
  } else if (heard == ProbeResult::kNoAnswer) {
    timedOut_.fetch_add(1, std::memory_order_relaxed);
  }
  // Release, after AddPhone: whoever sees the flag clear also sees the stored phone and the
  // counts.
  s.busy.store(0, std::memory_order_release);
}

ScanCounts DiscoveryScan::Counts() const {
  return {answered_.load(std::memory_order_relaxed), timedOut_.load(std::memory_order_relaxed)};
}

int32_t DiscoveryScan::GetBusySlotCount() const {
  int32_t busy = 0;
  for (int i = 0; i < kWorkerSlots; ++i) {
    if (slots_[i].busy.load(std::memory_order_acquire) != 0) ++busy;
  }
  return busy;
}

}  // namespace pathmon
