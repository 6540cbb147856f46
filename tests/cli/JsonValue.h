#pragma once
// A strict JSON reader for the tests of the CLI's report (RFC 8259): any document it
// accepts is valid JSON, and its values can be looked at.

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace pathmon::testing {

struct JsonValue {
  enum class Kind { kNull, kBool, kNumber, kString, kArray, kObject } kind = Kind::kNull;
  bool boolean = false;
  double number = 0;
  std::string text;  // strings, as UTF-8
  std::vector<JsonValue> items;
  std::map<std::string, JsonValue> members;

  const JsonValue& operator[](const std::string& key) const;  // kNull when missing
  const JsonValue& operator[](std::size_t index) const;
  bool Has(const std::string& key) const { return members.count(key) != 0; }
};

// False (with error set) unless text is exactly one valid JSON document.
bool ParseJson(const std::string& text, JsonValue& out, std::string& error);

}  // namespace pathmon::testing
