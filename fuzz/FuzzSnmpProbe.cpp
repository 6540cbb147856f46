// SPDX-License-Identifier: Apache-2.0
// A phone's answer to the discovery probe, as received: the bytes of an SNMP message are
// decoded by net-snmp (snmp_parse), stored by the client's rules (StoreGetResponse) and
// turned into a directory record by PhoneDirectory::ProbePhone. Whatever the bytes, the
// probe either fails or yields a record whose texts all end inside their fields.

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "discovery/PhoneListMgr.h"
#include "transport/Clock.h"
#include "transport/SnmpAccess.h"

namespace {

using namespace pathmon;

// Answers every request with the message under test, decoded as the library decodes a
// received datagram.
class ReceivedAnswer final : public SnmpClient {
 public:
  ReceivedAnswer(const uint8_t* data, std::size_t size) : packet_(data, data + size) {}

  int SnmpGet(const char*, const char*, const char* const* objects, uint8_t* values,
              uint32_t* lengths, std::size_t slotSize, uint8_t* types) override {
    netsnmp_session session;
    snmp_sess_init(&session);
    session.version = SNMP_VERSION_1;
    netsnmp_pdu* pdu = snmp_pdu_create(0);
    if (pdu == nullptr) return 0;
    int result = 0;
    if (snmp_parse(nullptr, &session, pdu, packet_.data(), packet_.size()) == SNMPERR_SUCCESS) {
      result = StoreGetResponse(pdu, objects, values, lengths, slotSize, types);
    }
    snmp_free_pdu(pdu);
    return result;
  }

 private:
  std::vector<u_char> packet_;
};

template <std::size_t N>
void CheckEnds(const char (&text)[N]) {
  if (memchr(text, '\0', N) == nullptr) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  InitSnmpLibrary();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  ReceivedAnswer answer(data, size);
  PhoneDirectory directory(answer, SystemClock());
  PhoneEntry entry{};
  if (directory.ProbePhone("127.0.0.1", "orchid", entry)) {
    CheckEnds(entry.serialNumber);
    CheckEnds(entry.identityKey);
    CheckEnds(entry.userName);
    CheckEnds(entry.scannedAddress);
    CheckEnds(entry.probeAddress0);
    CheckEnds(entry.probeAddress13);
    CheckEnds(entry.probeText1);
    CheckEnds(entry.probeText2);
    CheckEnds(entry.probeText3);
  }
  return 0;
}
