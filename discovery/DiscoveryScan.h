// SPDX-License-Identifier: Apache-2.0
#pragma once
// The discovery scan of an address range by a pool of worker threads, each probing one
// address into the phone directory.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <thread>

namespace pathmon {

class Clock;
class PhoneDirectory;

inline constexpr int kWorkerSlots = 256;

// What the probes of one scan heard: the addresses whose SNMP agent answered at all (phones
// or not), and those from which no answer came within the time-out and retries.
struct ScanCounts {
  int32_t answered = 0;
  int32_t timedOut = 0;
};

// The scan of an inclusive address range: one probe thread per address, at most 256 at
// once. Contract: StartDiscovery runs on one thread at a time (the walk owns the slot
// table); GetBusySlotCount may be called from any thread.
class DiscoveryScan {
 public:
  // Starts the thread that runs body; throws std::system_error when it cannot.
  using ThreadStarter = std::function<std::thread(std::function<void()> body)>;

  DiscoveryScan(PhoneDirectory& directory, Clock& clock);
  ~DiscoveryScan();  // waits for the workers still running
  DiscoveryScan(const DiscoveryScan&) = delete;
  DiscoveryScan& operator=(const DiscoveryScan&) = delete;

  // Walks first..last (dotted texts, inclusive) on the calling thread and returns once a
  // worker was started, or failed to start, for every address, or once the stop check
  // said so (the rest of the range is not probed). False, with nothing started, when a
  // text is no IPv4 address. Raises the soft limit on open files to the hard limit first.
  bool StartDiscovery(const char* first, const char* last);
  int32_t GetBusySlotCount() const;
  // The probes of the last StartDiscovery that have ended; all of them once no slot is busy.
  ScanCounts Counts() const;

  // Test seam: how worker threads are started. Set it before a scan, not during one.
  void SetThreadStarter(ThreadStarter starter);
  // Asked on the walking thread before every address and, once set, at least every 250 ms
  // of a pause (the pauses are then slept in steps); true stops the walk. Set it before a
  // scan, not during one.
  void SetStopCheck(std::function<bool()> stop);

 private:
  struct WorkerSlot {
    char addressText[64];
    std::atomic<uint8_t> busy{0};  // cleared by the worker with release, read with acquire
    std::thread threadHandle;
  };
  void ScanRange(uint32_t first, uint32_t last);
  void SpawnProbeWorker(const char* address);
  int ClaimWorkerSlot();  // -1 when every slot is busy
  void ProbeWorker(int slot);
  bool Stopped();
  void Pause(int32_t ms);  // clock_.SleepMs, cut short by a stop

  PhoneDirectory& directory_;
  Clock& clock_;
  ThreadStarter startThread_;
  std::function<bool()> stop_;
  bool stopped_ = false;  // the current walk was stopped
  std::unique_ptr<WorkerSlot[]> slots_;
  int32_t workersSpawned_ = 0;  // never reset: it numbers the trace lines across scans
  // This scan's probes, counted by the workers before they clear their busy flag.
  std::atomic<int32_t> answered_{0};
  std::atomic<int32_t> timedOut_{0};
};

// Raises the soft limit on open files to the hard limit (StartDiscovery does it first).
void RaiseOpenFileLimit();

}  // namespace pathmon
