// SPDX-License-Identifier: Apache-2.0
#pragma once
// The CLI's report as its tests read it: nlohmann-json, which accepts only valid JSON
// (RFC 8259, strings in UTF-8).

#include <nlohmann/json.hpp>
#include <string>

namespace pathmon::testing {

using JsonValue = nlohmann::json;

// False (with error set) unless text is exactly one valid JSON document.
inline bool ParseJson(const std::string& text, JsonValue& out, std::string& error) {
  try {
    out = JsonValue::parse(text);
    return true;
  } catch (const JsonValue::parse_error& e) {
    error = e.what();
    return false;
  }
}

}  // namespace pathmon::testing
