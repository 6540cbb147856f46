// The program's one directory and one scan, behind the free functions of PhoneListMgr.h.
// The directory is made on first use and never destroyed, so a probe worker can never meet
// it destroyed. The scan is destroyed at exit, before everything it uses (all of it was made
// before it), and its destructor joins the workers, so no thread outlives it unjoined.

#include "discovery/PhoneListMgr.h"
#include "transport/Clock.h"
#include "transport/SnmpAccess.h"

namespace pathmon {

PhoneDirectory& Directory() {
  static PhoneDirectory* const directory = [] {
    InitSnmpLibrary();  // before any probe thread uses SNMP
    return new PhoneDirectory(DefaultSnmpClient(), SystemClock());
  }();
  return *directory;
}

DiscoveryScan& Scan() {
  static DiscoveryScan scan(Directory(), SystemClock());
  return scan;
}

void InitPhoneList() { Directory().SetCommunity(kDefaultCommunity); }

void SetCommunity(const char* community) { Directory().SetCommunity(community); }

const char* GetCommunity() { return Directory().GetCommunity(); }

bool AddPhone(const char* address, const char* community) {
  return Directory().AddPhone(address, community);
}

int32_t GetPhoneCount() { return Directory().GetPhoneCount(); }

bool FindPhoneBySerial(const char* serialNumber, PhoneEntry& entry) {
  return Directory().FindPhoneBySerial(serialNumber, entry);
}

bool StartDiscovery(const char* first, const char* last) {
  return Scan().StartDiscovery(first, last);
}

int32_t GetBusySlotCount() { return Scan().GetBusySlotCount(); }

}  // namespace pathmon
