// SPDX-License-Identifier: Apache-2.0
#pragma once
// Splitting pathmon-cli's output for checks: into lines, and a line into words.

#include <sstream>
#include <string>
#include <vector>

namespace pathmon::testing {

inline std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

inline std::vector<std::string> Words(const std::string& line) {
  std::vector<std::string> words;
  std::istringstream in(line);
  for (std::string w; in >> w;) words.push_back(w);
  return words;
}

}  // namespace pathmon::testing
