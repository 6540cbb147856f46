// SPDX-License-Identifier: Apache-2.0
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

Oid ParseOid(std::string_view text) { return ParseOidText(text); }

constexpr std::string_view kSysUpTime = ".1.3.6.1.2.1.1.3.0";
constexpr std::string_view kLogColumn1 = ".1.3.6.1.4.1.7431.2.69.1.3.4.1.1";
constexpr std::string_view kLogColumn2 = ".1.3.6.1.4.1.7431.2.69.1.3.5.1.1";

std::string IpOctets(const std::string& dotted) {
  const uint32_t a = ParseIpv4(dotted).value_or(0);
  return {static_cast<char>(a >> 24), static_cast<char>(a >> 16), static_cast<char>(a >> 8),
          static_cast<char>(a)};
}

}  // namespace

SnmpAgent::Value SnmpAgent::MakeValue(const ExtraObject& extra) {
  Value value;
  switch (extra.type) {
    case 'i':
      value.type = ASN_INTEGER;
      value.number = std::stol(extra.value);
      break;
    case 'u':
      value.type = ASN_GAUGE;
      value.number = std::stol(extra.value);
      break;
    case 'c':
      value.type = ASN_COUNTER;
      value.number = std::stol(extra.value);
      break;
    case 't':
      value.type = ASN_TIMETICKS;
      value.number = std::stol(extra.value);
      break;
    case 'a':
      value.type = ASN_IPADDRESS;
      value.bytes = IpOctets(extra.value);
      break;
    case 's':
      value.type = ASN_OCTET_STR;
      value.bytes = extra.value;
      break;
    case 'r':
      value.type = ASN_OCTET_STR;
      value.bytes = RepeatedText(extra.value);
      break;
    case 'x':
      value.type = ASN_OCTET_STR;
      for (std::size_t i = 0; i + 1 < extra.value.size(); i += 2) {
        value.bytes += static_cast<char>(std::stoi(extra.value.substr(i, 2), nullptr, 16));
      }
      break;
    case 'o':
      value.type = ASN_OBJECT_ID;
      value.name = ParseOid(extra.value);
      break;
    case 'C': {
      const uint64_t n = std::stoull(extra.value);
      value.type = ASN_COUNTER64;
      value.high = static_cast<unsigned long>(n >> 32);
      value.number = static_cast<long>(n & 0xFFFFFFFFu);
      break;
    }
    default:
      value.type = ASN_NULL;
      break;
  }
  return value;
}

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

SnmpAgent::SnmpAgent(const PhoneConfig& config, Time started) : config_(config), started_(started) {
  const auto make = [](unsigned char type, std::string bytes, long number) {
    Value value;
    value.type = type;
    value.bytes = std::move(bytes);
    value.number = number;
    return value;
  };
  const auto text = [&](const std::string& s) { return make(ASN_OCTET_STR, s, 0); };
  const auto ip = [&](const std::string& s) { return make(ASN_IPADDRESS, IpOctets(s), 0); };
  const auto integer = [&](long n) { return make(ASN_INTEGER, {}, n); };
  Value upTime = make(ASN_TIMETICKS, {}, static_cast<long>(config.upTime.value_or(0)));
  upTime.liveUpTime = !config.upTime;
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
      {kSysUpTime, upTime},
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
  for (const std::string& name : config.removedObjects) objects_.erase(ParseOid(name));
  for (const ExtraObject& extra : config.extraObjects)
    objects_[ParseOid(extra.oid)] = MakeValue(extra);
}

std::optional<SnmpAgent::Value> SnmpAgent::Lookup(const Oid& name, Time now) const {
  const auto it = objects_.find(name);
  if (it == objects_.end()) return std::nullopt;
  Value value = it->second;
  if (value.liveUpTime) {
    const auto cs =
        std::chrono::duration_cast<std::chrono::milliseconds>(now - started_).count() / 10;
    value.number = static_cast<long>(static_cast<uint32_t>(cs));
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
    if (snmp_parse(nullptr, &session, request, packet.data(), packet.size()) != SNMPERR_SUCCESS)
      break;
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
      for (netsnmp_variable_list* v = request->variables; v != nullptr;
           v = v->next_variable, ++index) {
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
        for (netsnmp_variable_list* v = response->variables; v != nullptr;
             v = v->next_variable, ++i) {
          const Value& value = values[i];
          int rc = 0;
          if (value.type == ASN_OCTET_STR || value.type == ASN_IPADDRESS) {
            rc = snmp_set_var_typed_value(v, value.type, value.bytes.data(), value.bytes.size());
          } else if (value.type == ASN_OBJECT_ID) {
            std::vector<oid> name(value.name.begin(), value.name.end());
            rc = snmp_set_var_typed_value(v, value.type, name.data(), name.size() * sizeof(oid));
          } else if (value.type == ASN_COUNTER64) {
            counter64 c{value.high, static_cast<unsigned long>(value.number)};
            rc = snmp_set_var_typed_value(v, value.type, &c, sizeof c);
          } else if (value.type == ASN_NULL) {
            rc = snmp_set_var_typed_value(v, value.type, nullptr, 0);
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
