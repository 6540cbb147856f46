#include "sim/SnmpAgent.h"

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace pathmon::sim {
namespace {

using Oid = std::vector<unsigned long>;

Oid ParseOid(std::string_view text) {
  Oid name;
  unsigned long part = 0;
  bool inPart = false;
  for (char c : text) {
    if (c == '.') {
      if (inPart) name.push_back(part);
      part = 0;
      inPart = false;
    } else {
      part = part * 10 + static_cast<unsigned long>(c - '0');
      inPart = true;
    }
  }
  if (inPart) name.push_back(part);
  return name;
}

constexpr std::string_view kSysUpTime = ".1.3.6.1.2.1.1.3.0";
constexpr std::string_view kLogColumn1 = ".1.3.6.1.4.1.7431.2.69.1.3.4.1.1";
constexpr std::string_view kLogColumn2 = ".1.3.6.1.4.1.7431.2.69.1.3.5.1.1";

std::string IpOctets(const std::string& dotted) {
  const uint32_t a = ParseIpv4(dotted).value_or(0);
  return {static_cast<char>(a >> 24), static_cast<char>(a >> 16), static_cast<char>(a >> 8),
          static_cast<char>(a)};
}

}  // namespace

void InitSnmpLibrary() {
  static const bool done = [] {
    setenv("MIBS", "", 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_READ_CONFIGS, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_PERSIST_STATE, 1);
    init_snmp("farline-phone-sim");
    return true;
  }();
  (void)done;
}

SnmpAgent::SnmpAgent(const PhoneConfig& config, Time started)
    : config_(config), started_(started), sysUpTime_(ParseOid(kSysUpTime)) {
  const auto text = [](const std::string& s) { return Value{ASN_OCTET_STR, s, 0}; };
  const auto ip = [](const std::string& s) { return Value{ASN_IPADDRESS, IpOctets(s), 0}; };
  const auto integer = [](long n) { return Value{ASN_INTEGER, {}, n}; };
  const std::pair<std::string_view, Value> discovery[16] = {
      {".1.3.6.1.4.1.7431.2.69.1.1.4.0", ip(config.addr0)},
      {".1.3.6.1.4.1.7431.2.69.1.1.21.0", text(config.text1)},
      {".1.3.6.1.4.1.7431.2.69.1.1.22.0", text(config.text2)},
      {".1.3.6.1.4.1.7431.2.69.1.1.2.0", text(config.text3)},
      {".1.3.6.1.4.1.7431.2.69.1.1.20.0", integer(config.obj4)},
      {".1.3.6.1.4.1.7431.2.69.1.1.54.0", text(config.obj5)},
      {".1.3.6.1.4.1.7431.2.69.1.1.6.0", text(config.serial)},
      {".1.3.6.1.4.1.7431.2.69.1.1.9.0", text(config.identityKey)},
      {".1.3.6.1.4.1.7431.2.69.1.1.58.0", integer(config.int8)},
      {kSysUpTime, Value{ASN_TIMETICKS, {}, 0}},  // read live in Lookup
      {".1.3.6.1.4.1.7431.2.70.1.1.1.0", integer(config.int10)},
      {".1.3.6.1.4.1.7431.2.70.1.1.2.0", integer(config.int11)},
      {".1.3.6.1.4.1.7431.2.70.1.3.4.0", text(config.user)},
      {".1.3.6.1.4.1.7431.2.70.1.2.1.0", ip(config.addr13)},
      {".1.3.6.1.4.1.7431.2.70.1.1.23.0", integer(config.int14)},
      {".1.3.6.1.4.1.7431.2.70.1.1.7.0", integer(config.int15)},
  };
  for (int pos = 0; pos < 16; ++pos) {
    const auto& missing = config.missingObjects;
    if (std::find(missing.begin(), missing.end(), pos) != missing.end()) continue;
    objects_[ParseOid(discovery[pos].first)] = discovery[pos].second;
  }
  const auto addColumn = [&](std::string_view prefix, const std::map<int, std::string>& rows) {
    for (const auto& [row, value] : rows) {
      Oid name = ParseOid(prefix);
      name.push_back(static_cast<unsigned long>(row));
      name.push_back(0);
      objects_[name] = text(value);
    }
  };
  addColumn(kLogColumn1, config.log1);
  addColumn(kLogColumn2, config.log2);
}

std::optional<SnmpAgent::Value> SnmpAgent::Lookup(const Oid& name, Time now) const {
  const auto it = objects_.find(name);
  if (it == objects_.end()) return std::nullopt;
  Value value = it->second;
  if (name == sysUpTime_) {
    if (config_.upTime) {
      value.number = static_cast<long>(*config_.upTime);
    } else {
      const auto cs = std::chrono::duration_cast<std::chrono::milliseconds>(now - started_).count() / 10;
      value.number = static_cast<long>(static_cast<uint32_t>(cs));
    }
  }
  return value;
}

std::optional<std::vector<uint8_t>> SnmpAgent::Answer(const uint8_t* data, std::size_t length,
                                                      Time now) {
  if (config_.snmpSilent || length == 0) return std::nullopt;
  netsnmp_session session;
  snmp_sess_init(&session);
  session.version = SNMP_VERSION_1;

  std::vector<u_char> packet(data, data + length);
  netsnmp_pdu* request = snmp_pdu_create(0);
  if (request == nullptr) return std::nullopt;
  std::optional<std::vector<uint8_t>> result;
  netsnmp_pdu* response = nullptr;
  u_char* buffer = nullptr;
  do {
    if (snmp_parse(nullptr, &session, request, packet.data(), packet.size()) != SNMPERR_SUCCESS) break;
    if (request->version != SNMP_VERSION_1) break;
    // A version 1 agent does not answer a request with the wrong community.
    const std::string_view community(reinterpret_cast<const char*>(request->community),
                                     request->community_len);
    if (community != config_.community) break;
    if (request->command != SNMP_MSG_GET && request->command != SNMP_MSG_GETNEXT &&
        request->command != SNMP_MSG_SET) {
      break;
    }
    response = snmp_clone_pdu(request);
    if (response == nullptr) break;
    response->command = SNMP_MSG_RESPONSE;
    response->errstat = SNMP_ERR_NOERROR;
    response->errindex = 0;
    if (request->command != SNMP_MSG_GET) {
      // The phone is read-only and serves single objects: no walks, no writes.
      response->errstat = SNMP_ERR_NOSUCHNAME;
      response->errindex = request->variables != nullptr ? 1 : 0;
    } else {
      // Version 1: one unknown object fails the whole request and the bindings go back as
      // they came, so look every object up before filling any value.
      std::vector<Value> values;
      long index = 1;
      for (netsnmp_variable_list* v = request->variables; v != nullptr; v = v->next_variable, ++index) {
        auto value = Lookup(Oid(v->name, v->name + v->name_length), now);
        if (!value) {
          response->errstat = SNMP_ERR_NOSUCHNAME;
          response->errindex = index;
          break;
        }
        values.push_back(std::move(*value));
      }
      if (response->errstat == SNMP_ERR_NOERROR) {
        std::size_t i = 0;
        bool filled = true;
        for (netsnmp_variable_list* v = response->variables; v != nullptr; v = v->next_variable, ++i) {
          const Value& value = values[i];
          int rc = 0;
          if (value.type == ASN_OCTET_STR || value.type == ASN_IPADDRESS) {
            rc = snmp_set_var_typed_value(v, value.type, value.bytes.data(), value.bytes.size());
          } else {
            const long number = value.number;
            rc = snmp_set_var_typed_value(v, value.type, &number, sizeof number);
          }
          filled = filled && rc == 0;
        }
        if (!filled) {
          response->errstat = SNMP_ERR_GENERR;
          response->errindex = 0;
        }
      }
    }
    session.community = request->community;
    session.community_len = request->community_len;
    std::size_t bufferLength = 2048;
    std::size_t offset = 0;
    buffer = static_cast<u_char*>(malloc(bufferLength));
    if (buffer == nullptr) break;
    if (snmp_build(&buffer, &bufferLength, &offset, &session, response) != SNMPERR_SUCCESS) break;
    // net-snmp encodes backwards: the packet is the last `offset` bytes of the buffer.
    const u_char* start = buffer + bufferLength - offset;
    result.emplace(start, start + offset);
    ++answered_;
  } while (false);
  free(buffer);
  if (response != nullptr) snmp_free_pdu(response);
  snmp_free_pdu(request);
  return result;
}

}  // namespace pathmon::sim
