// SPDX-License-Identifier: Apache-2.0
#pragma once
// SNMP version 1 reads of a phone's agent: one GetRequest per call, one session per call.
//
// Contract: every call opens its own net-snmp session (single-session API) and closes it
// again; calls share no state and may run on any number of threads at once, once
// InitSnmpLibrary has run. Failures are results, never exceptions or output.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

struct snmp_pdu;  // net-snmp's netsnmp_pdu

namespace pathmon {

inline constexpr std::size_t kSnmpSlotSize = 512;    // bytes per value in SnmpGet's area
inline constexpr int kSnmpTimeoutMs = 3000;
inline constexpr int kSnmpRetries = 3;
inline constexpr uint8_t kAsnOctetString = 0x04;  // the ASN.1 tag of an OCTET STRING
// SnmpGet's result when no session could be opened at all (no descriptor left, for
// example): the agent was never asked, which is not the same as an agent that is silent.
inline constexpr int kSnmpNoSession = -1;
// SnmpGet's result when no answer came within the time-out and retries: nothing answers at
// the address, or its agent ignores the community (SNMPv1 agents do not answer a wrong one).
inline constexpr int kSnmpNoAnswer = -2;

// Initialises net-snmp for numeric object identifiers only (no MIB files read, nothing
// printed about them). Safe to call more than once; must run before any thread uses SNMP.
void InitSnmpLibrary();

// The seam between the directory, the log retrieval and the network.
class SnmpClient {
 public:
  virtual ~SnmpClient() = default;

  // One GetRequest for the null-terminated list of dotted object identifiers. On success
  // (result 1) the value of object i is at values + slotSize * i and its length in
  // lengths[i]; integer-family values are stored as 32-bit host-order numbers (length 4),
  // octet-like values as their bytes. A value longer than slotSize is cut to slotSize.
  // On failure (result 0: an answer that fails the get, or a local failure; kSnmpNoAnswer;
  // kSnmpNoSession) neither values nor lengths are written.
  // When types is given, types[i] receives the ASN.1 tag of value i on success.
  virtual int SnmpGet(const char* agent, const char* community, const char* const* objects,
                      uint8_t* values, uint32_t* lengths, std::size_t slotSize = kSnmpSlotSize,
                      uint8_t* types = nullptr) = 0;
};

// net-snmp behind SnmpClient: SNMPv1 GetRequests to UDP port 161 of a dotted IPv4 agent.
//
// Stored values by ASN.1 type:
// - INTEGER, Counter32, Gauge32, TimeTicks, Unsigned32: 32-bit host-order number, length 4;
// - Counter64: its low 32 bits, length 4 (an integer-family reader gets the counter modulo 2^32);
// - OCTET STRING, BIT STRING, IpAddress, Opaque: the octets as received;
// - OBJECT IDENTIFIER: its dotted text (".1.3.6.1"), without terminator, like an octet string;
// - NULL: length 0, slot untouched;
// - noSuchObject, noSuchInstance, endOfMibView and any other type: the get fails (result 0),
//   as SNMPv1 itself fails a request with a missing object.
// A response whose bindings do not match the request one for one, in number and names, fails,
// and so does one that came from any other address or port than the agent's port 161.
//
// The agent text must be a dotted IPv4 address: no name lookup and no transport prefix
// ("tcp:", "unix:") is accepted, so nothing leaves for an address the caller did not give.
class NetSnmpClient final : public SnmpClient {
 public:
  // Production uses the defaults; tests may shorten the wait for agents that stay silent.
  explicit NetSnmpClient(int timeoutMs = kSnmpTimeoutMs, int retries = kSnmpRetries)
      : timeoutMs_(timeoutMs), retries_(retries) {}

  int SnmpGet(const char* agent, const char* community, const char* const* objects,
              uint8_t* values, uint32_t* lengths, std::size_t slotSize = kSnmpSlotSize,
              uint8_t* types = nullptr) override;

  int timeoutMs() const { return timeoutMs_; }
  int retries() const { return retries_; }

 private:
  int timeoutMs_;
  int retries_;
};

// The values of a decoded GetResponse to a request for objects (dotted texts, null-terminated
// list), stored as NetSnmpClient stores them: 1 when every binding matches the request and
// was stored, 0 (nothing written) for an error status, another PDU type or any mismatch.
// types, when given, receives each value's ASN.1 type.
int StoreGetResponse(const snmp_pdu* response, const char* const* objects, uint8_t* values,
                     uint32_t* lengths, std::size_t slotSize, uint8_t* types = nullptr);

inline constexpr std::size_t kRowBufferSize = 5120;  // a row keeps at most 5119 bytes

// What a walk of SnmpGetRows may be given and tells besides its rows.
struct RowWalk {
  std::function<bool()> stop;     // asked before every row; true ends the walk there
  bool stopped = false;           // the walk was ended by stop
  std::vector<int32_t> cutRows;   // numbers of the rows that held a zero byte
};

// Reads rows 1..count of the column "prefix.<row>.0" one request each, until the first row
// that fails or is no OCTET STRING (a row of another type counts as missing). Each row is
// a new[]-allocated zero-terminated text, up to its first zero byte, put in
// rows[0..rowCount-1]; the caller frees them with delete[]. True when at least one row was
// read.
bool SnmpGetRows(SnmpClient& client, const char* agent, const char* community,
                 const char* prefix, int32_t count, int32_t* rowCount, char** rows,
                 RowWalk* walk = nullptr);

}  // namespace pathmon
