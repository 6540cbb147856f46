// SPDX-License-Identifier: Apache-2.0
#include "discovery/PhoneDirectory.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <string_view>
#include <type_traits>
#include <vector>

#include "transport/Clock.h"
#include "transport/DebugTrace.h"
#include "transport/SnmpAccess.h"

namespace pathmon {

static_assert(std::is_trivially_copyable_v<PhoneEntry>, "PhoneEntry is copied whole");

const char* const kDiscoveryObjects[kDiscoveryObjectCount + 1] = {
    ".1.3.6.1.4.1.7431.2.69.1.1.4.0",   // 0  IpAddress
    ".1.3.6.1.4.1.7431.2.69.1.1.21.0",  // 1  octet string
    ".1.3.6.1.4.1.7431.2.69.1.1.22.0",  // 2  octet string
    ".1.3.6.1.4.1.7431.2.69.1.1.2.0",   // 3  octet string
    ".1.3.6.1.4.1.7431.2.69.1.1.20.0",  // 4  asked for, not kept
    ".1.3.6.1.4.1.7431.2.69.1.1.54.0",  // 5  asked for, not kept
    ".1.3.6.1.4.1.7431.2.69.1.1.6.0",   // 6  serial number
    ".1.3.6.1.4.1.7431.2.69.1.1.9.0",   // 7  identity key
    ".1.3.6.1.4.1.7431.2.69.1.1.58.0",  // 8  integer
    ".1.3.6.1.2.1.1.3.0",               // 9  sysUpTime
    ".1.3.6.1.4.1.7431.2.70.1.1.1.0",   // 10 integer
    ".1.3.6.1.4.1.7431.2.70.1.1.2.0",   // 11 integer
    ".1.3.6.1.4.1.7431.2.70.1.3.4.0",   // 12 user name
    ".1.3.6.1.4.1.7431.2.70.1.2.1.0",   // 13 IpAddress
    ".1.3.6.1.4.1.7431.2.70.1.1.23.0",  // 14 integer
    ".1.3.6.1.4.1.7431.2.70.1.1.7.0",   // 15 integer
    nullptr,
};

namespace {

constexpr const char* kModule = "PhoneListMgr";
constexpr int32_t kTicksPerMinute = 6000;  // sysUpTime counts hundredths of a second

char FoldAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// Keys are compared with ASCII letters folded; other bytes must match exactly.
bool EqualIgnoringAsciiCase(const char* a, const char* b) {
  for (;; ++a, ++b) {
    if (FoldAscii(*a) != FoldAscii(*b)) return false;
    if (*a == '\0') return true;
  }
}

// The value's bytes up to its first zero byte, cut to the field's room less the terminator.
// The field was cleared before, so the text is always terminated.
template <std::size_t N>
void CopyText(char (&field)[N], const uint8_t* value, uint32_t length) {
  std::size_t n = std::min<std::size_t>(length, N - 1);
  const void* zero = std::memchr(value, 0, n);
  if (zero != nullptr) n = static_cast<std::size_t>(static_cast<const uint8_t*>(zero) - value);
  std::memcpy(field, value, n);
}

// Anything but four bytes is no IPv4 address: the field stays empty.
template <std::size_t N>
void CopyAddress(char (&field)[N], const uint8_t* value, uint32_t length) {
  if (length != 4) return;
  std::snprintf(field, N, "%d.%d.%d.%d", value[0], value[1], value[2], value[3]);
}

// Integer-family values arrive as 4 host-order bytes; a value of any other length gives 0.
uint32_t ReadInteger(const uint8_t* value, uint32_t length) {
  uint32_t number = 0;
  if (length == 4) std::memcpy(&number, value, sizeof number);
  return number;
}

}  // namespace

PhoneDirectory::PhoneDirectory(SnmpClient& snmp, Clock& clock) : snmp_(snmp), clock_(clock) {
  SetCommunity(kDefaultCommunity);
}

PhoneDirectory::~PhoneDirectory() = default;

void PhoneDirectory::SetCommunity(const char* community) {
  std::memset(community_, 0, sizeof community_);
  if (community != nullptr) std::strncpy(community_, community, kCommunityMax);
}

const char* PhoneDirectory::GetCommunity() const { return community_; }

bool PhoneDirectory::ProbePhone(const char* address, const char* community, PhoneEntry& entry,
                                ProbeResult* heard) {
  ProbeResult ignored;
  ProbeResult& result = heard != nullptr ? *heard : ignored;
  std::memset(&entry, 0, sizeof entry);
  std::snprintf(entry.scannedAddress, sizeof entry.scannedAddress, "%s", address);

  // Cleared, so that an empty octet string reads as an empty text.
  std::vector<uint8_t> values(kDiscoveryObjectCount * kSnmpSlotSize, 0);
  uint32_t lengths[kDiscoveryObjectCount] = {};
  uint8_t types[kDiscoveryObjectCount] = {};
  const int got = snmp_.SnmpGet(address, community, kDiscoveryObjects, values.data(), lengths,
                                kSnmpSlotSize, types);
  result = got == kSnmpNoSession ? ProbeResult::kNotSent
           : got == kSnmpNoAnswer  ? ProbeResult::kNoAnswer
           : got == 1              ? ProbeResult::kPhone
                                   : ProbeResult::kAnswered;
  if (got == kSnmpNoSession) {
    // The address was never asked: the scan must not pass it off as "no phone there".
    unprobed_.fetch_add(1, std::memory_order_relaxed);
    DebugTrace(__LINE__, kModule, nullptr, "Cannot probe %s: no SNMP session could be opened",
               address);
    return false;
  }
  if (got != 1) return false;
  // The serial number names the phone's test and files: a number, an object identifier or
  // a NULL in its place is no phone's answer.
  if (types[6] != kAsnOctetString) {
    result = ProbeResult::kAnswered;
    DebugTrace(__LINE__, kModule, nullptr,
               "Phone at %s refused: its serial number is of SNMP type 0x%02x", address,
               types[6]);
    return false;
  }

  auto value = [&](int i) { return values.data() + kSnmpSlotSize * static_cast<std::size_t>(i); };
  // The client cuts values to the slot; never trust a length beyond it all the same.
  auto length = [&](int i) {
    return std::min<uint32_t>(lengths[i], static_cast<uint32_t>(kSnmpSlotSize));
  };

  CopyAddress(entry.probeAddress0, value(0), length(0));
  CopyText(entry.probeText1, value(1), length(1));
  CopyText(entry.probeText2, value(2), length(2));
  CopyText(entry.probeText3, value(3), length(3));
  CopyText(entry.serialNumber, value(6), length(6));
  const std::string_view serial(reinterpret_cast<const char*>(value(6)),
                                std::find(value(6), value(6) + length(6), 0) - value(6));
  CopyText(entry.identityKey, value(7), length(7));
  entry.probeInt8 = static_cast<int32_t>(ReadInteger(value(8), length(8)));

  // TimeTicks are unsigned: read as such, an agent up for more than 248 days still gives
  // its minutes rather than a negative number.
  uint32_t ticks = ReadInteger(value(9), length(9));
  entry.upTime = static_cast<int32_t>(ticks > static_cast<uint32_t>(kTicksPerMinute)
                                          ? ticks / kTicksPerMinute
                                          : ticks);

  entry.probeInt10 = static_cast<int32_t>(ReadInteger(value(10), length(10)));
  entry.probeInt11 = static_cast<int32_t>(ReadInteger(value(11), length(11)));
  if (length(12) == 0) {
    std::snprintf(entry.userName, sizeof entry.userName, "%s", "Unknown");
  } else {
    CopyText(entry.userName, value(12), length(12));
  }
  CopyAddress(entry.probeAddress13, value(13), length(13));
  entry.probeInt14 = static_cast<int32_t>(ReadInteger(value(14), length(14)));
  entry.probeInt15 = static_cast<int32_t>(ReadInteger(value(15), length(15)));

  entry.probeTime = clock_.WallSeconds();
  if (serial.size() >= sizeof entry.serialNumber) {
    std::string reason = "serial number \"" + std::string(serial) + "\" is longer than " +
                         std::to_string(sizeof entry.serialNumber - 1) + " characters";
    DebugTrace(__LINE__, kModule, nullptr, "Phone at %s not kept: %s", address, reason.c_str());
    result = ProbeResult::kAnswered;
    std::lock_guard<std::mutex> lock(mutex_);
    notKept_.push_back({entry, std::move(reason), NotKeptCause::kLongSerial});
    return false;
  }
  return true;
}

bool PhoneDirectory::AddPhone(const char* address, const char* community, ProbeResult* heard) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!entries_) {
      // Value-initialised: every record starts zeroed.
      entries_.reset(new (std::nothrow) PhoneEntry[kDirectoryCapacity]());
      if (!entries_) return false;  // no room for the directory: the phone is not kept
    }
  }

  PhoneEntry entry{};
  if (!ProbePhone(address, community, entry, heard)) return false;

  {
    std::lock_guard<std::mutex> lock(mutex_);
    // A phone found again is no longer set aside.
    std::erase_if(notKept_, [&](const PhoneNotKept& n) {
      return std::strcmp(n.entry.scannedAddress, entry.scannedAddress) == 0;
    });
    for (int32_t i = 0; i < count_; ++i) {
      PhoneEntry& stored = entries_[i];
      const bool sameAddress = std::strcmp(stored.scannedAddress, entry.scannedAddress) == 0;
      const bool samePhone = entry.identityKey[0] == '\0'
                                 ? stored.identityKey[0] == '\0' && sameAddress
                                 : EqualIgnoringAsciiCase(stored.identityKey, entry.identityKey);
      if (!samePhone) continue;
      if (!sameAddress) {
        notKept_.push_back({stored,
                            std::string("same identity key \"") + entry.identityKey +
                                "\" as the phone at " + entry.scannedAddress,
                            NotKeptCause::kSameIdentityKey});
      }
      entry.index = i;
      stored = entry;
      return true;
    }
    if (count_ < kDirectoryCapacity) {
      entry.index = count_;
      entries_[count_] = entry;
      ++count_;
      return true;
    }
  }
  // Full: refusing the new phone keeps every stored one intact. Traced outside the lock.
  DebugTrace(__LINE__, kModule, nullptr,
             "Phone directory full (%d entries), phone %s at %s not stored",
             kDirectoryCapacity, entry.serialNumber, entry.scannedAddress);
  return false;
}

int32_t PhoneDirectory::UnprobedCount() const {
  return unprobed_.load(std::memory_order_relaxed);
}

int32_t PhoneDirectory::GetPhoneCount() {
  std::lock_guard<std::mutex> lock(mutex_);
  return count_;
}

bool PhoneDirectory::FindPhoneBySerial(const char* serialNumber, PhoneEntry& entry) {
  if (serialNumber == nullptr) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  for (int32_t i = 0; i < count_; ++i) {
    if (EqualIgnoringAsciiCase(entries_[i].serialNumber, serialNumber)) {
      entry = entries_[i];
      return true;
    }
  }
  return false;
}

std::vector<PhoneEntry> PhoneDirectory::Entries() {
  std::lock_guard<std::mutex> lock(mutex_);
  return std::vector<PhoneEntry>(entries_.get(), entries_.get() + count_);
}

std::vector<PhoneNotKept> PhoneDirectory::NotKept() {
  std::lock_guard<std::mutex> lock(mutex_);
  return notKept_;
}

}  // namespace pathmon
