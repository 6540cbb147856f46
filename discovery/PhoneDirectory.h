// SPDX-License-Identifier: Apache-2.0
#pragma once
// The phone directory: every phone a scan found, each a PhoneEntry, and the SNMP community;
// its probe decides whether an address is a phone.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
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

// Why the directory does not hold a phone a scan found.
enum class NotKeptCause {
  kSameIdentityKey,  // a phone at another address answered with its identity key later
  kLongSerial,       // its serial number does not fit the directory's field
};

// A phone a scan found that the directory does not hold for testing, and why.
struct PhoneNotKept {
  PhoneEntry entry;    // as probed; a text too long for its field is cut here
  std::string reason;  // names the clash or the refused value
  NotKeptCause cause = NotKeptCause::kSameIdentityKey;
};

// What a probe of an address heard.
enum class ProbeResult {
  kPhone,     // a phone: every object answered, its serial number an OCTET STRING
  kAnswered,  // an SNMP agent answered, but not as a phone (or as one that is not kept)
  kNoAnswer,  // no answer within the time-out and retries
  kNotSent,   // no SNMP session could be opened: the address was never asked
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
  // session is traced and counted in UnprobedCount. heard, when given, tells what came back.
  bool ProbePhone(const char* address, const char* community, PhoneEntry& entry,
                  ProbeResult* heard = nullptr);
  // Probes without the lock, then replaces the entry with the same identityKey (letter
  // case ignored) or appends. An empty identityKey identifies nothing: such a phone
  // replaces only the entry of its own address. A phone at another address that takes an
  // entry's place is no silent merge: the phone it displaces goes to NotKept. False when
  // the address is no phone, when its serial number does not fit the field (NotKept names
  // it: a cut serial number would sign every frame wrong), and when the phone is new but
  // the directory already holds kDirectoryCapacity phones (nothing is overwritten).
  // heard, when given, tells what the probe heard.
  bool AddPhone(const char* address, const char* community, ProbeResult* heard = nullptr);
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

}  // namespace pathmon
