// SPDX-License-Identifier: Apache-2.0
#pragma once
// A phone's two log columns, written out here rather than taken from the code under test (a
// wrong identifier there must fail a test), and the identifier of row i (from 1) of a column.

#include <string>

namespace pathmon::testing {

inline constexpr const char* kFirstLogColumn = ".1.3.6.1.4.1.7431.2.69.1.3.4.1.1";
inline constexpr const char* kSecondLogColumn = ".1.3.6.1.4.1.7431.2.69.1.3.5.1.1";

inline std::string RowOid(const char* column, int i) {
  return std::string(column) + "." + std::to_string(i) + ".0";
}

}  // namespace pathmon::testing
