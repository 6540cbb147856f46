// SPDX-License-Identifier: Apache-2.0
// The simulator's fleet-file parser, and the SNMP agent built from each phone it accepts:
// any text either parses or is refused with a ConfigError; nothing else may escape, crash or
// read out of bounds.

#include <cstdint>
#include <string_view>

#include "sim/PhoneConfig.h"
#include "sim/SnmpAgent.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  pathmon::sim::InitSnmpLibrary();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  using namespace pathmon::sim;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  try {
    for (const PhoneConfig& phone : ParseFleet(text)) {
      SnmpAgent agent(phone, SnmpAgent::Time{});
    }
  } catch (const ConfigError&) {
  }
  return 0;
}
