// SPDX-License-Identifier: Apache-2.0
#pragma once
// The phone directory (every phone a scan found, and the SNMP community) and the discovery
// scan of an address range by a pool of worker threads.

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace pathmon {

class Clock;
class SnmpClient;
class SessionRegistry;

// One discovered phone: a plain record of fixed size, copied whole. Text fields are
// zero-terminated and never longer than their field less the terminator.
struct PhoneEntry {
  int32_t index;               // position in the directory
  char identityKey[24];        // discovery object 7: the key a phone found again is replaced by
  char serialNumber[24];       // discovery object 6: names the phone's LoopTest
  char userName[64];           // discovery object 12, or "Unknown" when empty
  char scannedAddress[24];     // the dotted address that answered the probe
  char probeAddress13[24];     // discovery object 13 (IpAddress), dotted
  char probeText1[32];         // discovery object 1
  char probeText2[32];         // discovery object 2
  char probeAddress0[24];      // discovery object 0 (IpAddress), dotted
  char probeText3[24];         // discovery object 3
  int32_t probeInt8;           // discovery object 8
  int32_t upTime;              // sysUpTime: whole minutes above 6000 ticks, else the ticks
  int32_t probeInt11;          // discovery object 11
  int32_t probeInt10;          // discovery object 10
  int32_t probeInt14;          // discovery object 14
  int32_t probeInt15;          // discovery object 15
  int64_t probeTime;           // calendar seconds at which the probe completed
};

// A phone a scan found that the directory does not hold for testing, and why.
struct PhoneNotKept {
  PhoneEntry entry;    // as probed; a text too long for its field is cut here
  std::string reason;  // names the clash or the refused value
};

inline constexpr int kDirectoryCapacity = 4096;
inline constexpr int kCommunityMax = 255;
inline constexpr const char* kDefaultCommunity = "orchid";
inline constexpr int kDiscoveryObjectCount = 16;
extern const char* const kDiscoveryObjects[kDiscoveryObjectCount + 1];  // null-terminated

// Contract: every operation is thread-safe. The lock guards the entries and the count; no
// operation holds it while it waits on the network or calls into another module.
class PhoneDirectory {
 public:
  PhoneDirectory(SnmpClient& snmp, Clock& clock);  // community "orchid", no entries yet
  ~PhoneDirectory();
  PhoneDirectory(const PhoneDirectory&) = delete;
  PhoneDirectory& operator=(const PhoneDirectory&) = delete;

  void SetCommunity(const char* community);  // at most 255 characters are kept
  const char* GetCommunity() const;           // written only before scans run

  // One GetRequest for the 16 discovery objects; fills entry (cleared first) when every
  // object answered and the serial number is an OCTET STRING. Values too long for their
  // field are cut, keeping the terminator; an IpAddress that is not 4 bytes gives an empty
  // text, an integer that is not 4 bytes 0. A probe that could not even open its SNMP
  // session is traced and counted in UnprobedCount.
  bool ProbePhone(const char* address, const char* community, PhoneEntry& entry);
  // Probes without the lock, then replaces the entry with the same identityKey (letter
  // case ignored) or appends. An empty identityKey identifies nothing: such a phone
  // replaces only the entry of its own address. A phone at another address that takes an
  // entry's place is no silent merge: the phone it displaces goes to NotKept. False when
  // the address is no phone, when its serial number does not fit the field (NotKept names
  // it: a cut serial number would sign every frame wrong), and when the phone is new but
  // the directory already holds kDirectoryCapacity phones (nothing is overwritten).
  bool AddPhone(const char* address, const char* community);
  int32_t GetPhoneCount();
  // Probes that could not be sent (no session: no descriptor left, for example), ever.
  int32_t UnprobedCount() const;
  // Copies the first entry whose serialNumber matches (letter case ignored); the record is
  // left as it was when none does.
  bool FindPhoneBySerial(const char* serialNumber, PhoneEntry& entry);
  // Takes the serial numbers under the lock, then asks the registry for each without it.
  void CreateLoopTestsForPhones(SessionRegistry& registry);
  // Copies of every entry, in position order.
  std::vector<PhoneEntry> Entries();
  // The phones found but not held, in the order they were set aside.
  std::vector<PhoneNotKept> NotKept();

 private:
  SnmpClient& snmp_;
  Clock& clock_;
  std::mutex mutex_;
  std::unique_ptr<PhoneEntry[]> entries_;  // kDirectoryCapacity records, made on first AddPhone
  int32_t count_ = 0;
  std::vector<PhoneNotKept> notKept_;
  char community_[kCommunityMax + 1] = {};
  std::atomic<int32_t> unprobed_{0};
};

inline constexpr int kWorkerSlots = 256;

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
};

// Raises the soft limit on open files to the hard limit (StartDiscovery does it first).
void RaiseOpenFileLimit();

}  // namespace pathmon
