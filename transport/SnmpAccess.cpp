// SPDX-License-Identifier: Apache-2.0
#include "transport/SnmpAccess.h"

#include <arpa/inet.h>
#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <vector>

namespace pathmon {

namespace {

std::once_flag g_initOnce;

void InitOnce() {
  // No MIB file is ever needed: every identifier is numeric. Empty MIBS and MIBDIRS keep the
  // parser from loading modules, from building its index under the persistent directory and
  // from warning about modules it cannot find.
  setenv("MIBS", "", 1);
  setenv("MIBDIRS", "", 1);
  // The manager has no configuration: no snmp.conf of the system or of the user, no
  // persistent state loaded or saved, no warnings about tokens or MIBs on stderr.
  netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_READ_CONFIGS, 1);
  netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_PERSIST_STATE, 1);
  netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_LOAD, 1);
  netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_SAVE, 1);
  netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_LOAD_HOST_FILES, 1);
  netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_NO_TOKEN_WARNINGS, 1);
  netsnmp_ds_set_int(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_MIB_WARNINGS, 0);
  // Even so, the library's set-up scans a persistent directory for TLS certificate indexes
  // (creating it when missing, /var/lib/snmp/cert_indexes by default) and the configuration
  // directories for certificates. SNMPv1 needs none of it: both point at /dev/null, where
  // nothing can be read or created.
  netsnmp_ds_set_string(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_PERSISTENT_DIR, "/dev/null");
  netsnmp_ds_set_string(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_CONFIGURATION_DIR, "/dev/null");
  // Library messages (failed sends, bad packets) would reach stderr, which is where the
  // library writes when no handler is registered at all; failures are results here, never
  // output, so every message goes to the null handler.
  netsnmp_register_loghandler(NETSNMP_LOGHANDLER_NONE, LOG_DEBUG);
  init_snmp("pathmon");
}

// net-snmp is built without its own locks (NETSNMP_REENTRANT is off), so the few calls that
// touch its process-wide counters (session and request ids) and lists are serialised here.
// None of them waits on the network: the request itself runs outside this lock.
std::mutex& LibraryMutex() {
  static std::mutex mutex;
  return mutex;
}

struct ParsedOid {
  oid name[MAX_OID_LEN];
  size_t length = MAX_OID_LEN;
};

// Puts the 32-bit low part of an integer-family value into the slot, host order.
void StoreU32(uint8_t* slot, std::size_t slotSize, uint32_t* length, uint32_t value) {
  const std::size_t n = std::min<std::size_t>(sizeof value, slotSize);
  std::memcpy(slot, &value, n);
  *length = static_cast<uint32_t>(n);
}

void StoreBytes(uint8_t* slot, std::size_t slotSize, uint32_t* length, const void* bytes,
                std::size_t count) {
  const std::size_t n = std::min(count, slotSize);
  if (n > 0) std::memcpy(slot, bytes, n);
  *length = static_cast<uint32_t>(n);
}

// True when every binding has a type this client can store.
bool StorableType(u_char type) {
  switch (type) {
    case ASN_INTEGER:
    case ASN_COUNTER:
    case ASN_GAUGE:  // also Unsigned32 (same tag 0x42)
    case ASN_TIMETICKS:
    case ASN_UINTEGER:
    case ASN_COUNTER64:
    case ASN_OCTET_STR:
    case ASN_BIT_STR:
    case ASN_IPADDRESS:
    case ASN_OPAQUE:
    case ASN_OBJECT_ID:
    case ASN_NULL:
      return true;
    default:
      return false;  // exceptions (noSuchObject, ...) and anything unknown
  }
}

void StoreValue(const netsnmp_variable_list* var, uint8_t* slot, std::size_t slotSize,
                uint32_t* length) {
  switch (var->type) {
    case ASN_INTEGER:
      StoreU32(slot, slotSize, length,
               static_cast<uint32_t>(static_cast<int32_t>(*var->val.integer)));
      break;
    case ASN_COUNTER:
    case ASN_GAUGE:
    case ASN_TIMETICKS:
    case ASN_UINTEGER:
      StoreU32(slot, slotSize, length, static_cast<uint32_t>(*var->val.integer));
      break;
    case ASN_COUNTER64:
      StoreU32(slot, slotSize, length, static_cast<uint32_t>(var->val.counter64->low));
      break;
    case ASN_OCTET_STR:
    case ASN_BIT_STR:
    case ASN_IPADDRESS:
    case ASN_OPAQUE:
      StoreBytes(slot, slotSize, length, var->val.string, var->val_len);
      break;
    case ASN_OBJECT_ID: {
      std::string text;
      const std::size_t count = var->val_len / sizeof(oid);
      for (std::size_t i = 0; i < count; ++i) {
        text += '.';
        text += std::to_string(var->val.objid[i]);
      }
      StoreBytes(slot, slotSize, length, text.data(), text.size());
      break;
    }
    default:  // ASN_NULL
      *length = 0;
      break;
  }
}

// Closes a session; a failure only writes its line to stdout.
void CloseSession(void* handle) {
  int closed;
  {
    std::lock_guard<std::mutex> lock(LibraryMutex());
    closed = snmp_sess_close(handle);
  }
  if (closed == 0) {
    std::printf("error on SnmpMgrClose %d\n", errno);
    std::fflush(stdout);
  }
}

// True when the response came from the agent's address and port 161. net-snmp matches a
// response by its request id only, whatever socket address sent it.
bool FromAgent(const netsnmp_pdu* response, const in_addr& agent) {
  if (response == nullptr || response->transport_data == nullptr ||
      response->transport_data_length < static_cast<int>(sizeof(netsnmp_indexed_addr_pair))) {
    return false;
  }
  const auto* pair = static_cast<const netsnmp_indexed_addr_pair*>(response->transport_data);
  sockaddr_in from{};
  std::memcpy(&from, &pair->remote_addr, sizeof from);
  return from.sin_family == AF_INET && from.sin_addr.s_addr == agent.s_addr &&
         ntohs(from.sin_port) == 161;
}

}  // namespace

void InitSnmpLibrary() { std::call_once(g_initOnce, InitOnce); }

int NetSnmpClient::SnmpGet(const char* agent, const char* community,
                           const char* const* objects, uint8_t* values, uint32_t* lengths,
                           std::size_t slotSize, uint8_t* types) {
  InitSnmpLibrary();
  if (agent == nullptr || community == nullptr || objects == nullptr || values == nullptr ||
      lengths == nullptr) {
    return 0;
  }

  std::vector<ParsedOid> names;
  for (const char* const* text = objects; *text != nullptr; ++text) {
    ParsedOid parsed;
    if (read_objid(*text, parsed.name, &parsed.length) == 0) return 0;
    names.push_back(parsed);
  }
  if (names.empty()) return 0;

  in_addr address{};
  if (inet_pton(AF_INET, agent, &address) != 1) return 0;
  std::string peer = "udp:";
  peer += agent;
  peer += ":161";
  std::string communityCopy = community;

  netsnmp_session settings;
  snmp_sess_init(&settings);
  settings.version = SNMP_VERSION_1;
  settings.peername = peer.data();
  settings.community = reinterpret_cast<u_char*>(communityCopy.data());
  settings.community_len = communityCopy.size();
  settings.timeout = static_cast<long>(timeoutMs_) * 1000L;  // microseconds
  settings.retries = retries_;

  void* handle;
  netsnmp_pdu* request;
  {
    std::lock_guard<std::mutex> lock(LibraryMutex());
    handle = snmp_sess_open(&settings);
    request = handle != nullptr ? snmp_pdu_create(SNMP_MSG_GET) : nullptr;
  }
  if (handle == nullptr) return kSnmpNoSession;
  if (request == nullptr) {
    CloseSession(handle);
    return 0;
  }
  for (ParsedOid& name : names) {
    if (snmp_add_null_var(request, name.name, name.length) == nullptr) {
      snmp_free_pdu(request);
      CloseSession(handle);
      return 0;
    }
  }

  // The request PDU belongs to the library from here on, answered or not.
  netsnmp_pdu* response = nullptr;
  const int status = snmp_sess_synch_response(handle, request, &response);

  const int result = status == STAT_TIMEOUT ? kSnmpNoAnswer
                     : status == STAT_SUCCESS && FromAgent(response, address)
                         ? StoreGetResponse(response, objects, values, lengths, slotSize, types)
                         : 0;
  if (response != nullptr) snmp_free_pdu(response);
  CloseSession(handle);
  return result;
}

int StoreGetResponse(const snmp_pdu* response, const char* const* objects, uint8_t* values,
                     uint32_t* lengths, std::size_t slotSize, uint8_t* types) {
  if (response == nullptr || objects == nullptr || values == nullptr || lengths == nullptr ||
      response->command != SNMP_MSG_RESPONSE || response->errstat != SNMP_ERR_NOERROR) {
    return 0;
  }
  std::vector<ParsedOid> names;
  for (const char* const* text = objects; *text != nullptr; ++text) {
    ParsedOid parsed;
    if (read_objid(*text, parsed.name, &parsed.length) == 0) return 0;
    names.push_back(parsed);
  }
  // Check the whole answer before the first byte is written: all values or none.
  std::size_t count = 0;
  for (const netsnmp_variable_list* var = response->variables; var != nullptr;
       var = var->next_variable, ++count) {
    if (count >= names.size() || !StorableType(var->type) ||
        snmp_oid_compare(var->name, var->name_length, names[count].name, names[count].length) !=
            0) {
      return 0;
    }
  }
  if (count != names.size()) return 0;
  std::size_t i = 0;
  for (const netsnmp_variable_list* var = response->variables; var != nullptr;
       var = var->next_variable, ++i) {
    StoreValue(var, values + slotSize * i, slotSize, &lengths[i]);
    if (types != nullptr) types[i] = var->type;
  }
  return 1;
}

bool SnmpGetRows(SnmpClient& client, const char* agent, const char* community,
                 const char* prefix, int32_t count, int32_t* rowCount, char** rows,
                 RowWalk* walk) {
  *rowCount = 0;
  if (prefix == nullptr || rows == nullptr) return false;
  for (int32_t i = 1; i <= count; ++i) {
    if (walk != nullptr && walk->stop && walk->stop()) {
      walk->stopped = true;
      break;
    }
    char name[256];
    const int written = std::snprintf(name, sizeof name, "%s.%d.0", prefix, i);
    if (written < 0 || static_cast<std::size_t>(written) >= sizeof name) break;
    const char* objects[] = {name, nullptr};

    // The last byte stays zero: a row is at most kRowBufferSize - 1 bytes and always ends.
    uint8_t value[kRowBufferSize] = {};
    uint32_t length = 0;
    uint8_t type = 0;
    if (client.SnmpGet(agent, community, objects, value, &length, kRowBufferSize - 1, &type) !=
            1 ||
        type != kAsnOctetString) {
      break;
    }

    const std::size_t room = std::min<std::size_t>(length, kRowBufferSize - 1);
    const std::size_t textLength = strnlen(reinterpret_cast<const char*>(value), room);
    if (textLength < room && walk != nullptr) walk->cutRows.push_back(i);
    char* row = new (std::nothrow) char[textLength + 1];
    if (row == nullptr) break;
    std::memcpy(row, value, textLength);
    row[textLength] = '\0';
    rows[*rowCount] = row;
    ++*rowCount;
  }
  return *rowCount > 0;
}

}  // namespace pathmon
