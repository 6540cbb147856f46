// SPDX-License-Identifier: Apache-2.0
#pragma once
// A log opener that starts no viewer: it notes each file it is asked to open, with what the
// file held at that moment (the file must be complete before a viewer starts), and the notes
// said beside it; it can interrupt the retrieval after a number of rows.

#include <string>
#include <vector>

#include "support/TempDir.h"
#include "transport/PhoneLog.h"

namespace pathmon::testing {

class RecordingOpener final : public FileOpener {
 public:
  void Open(const std::string& path) override {
    paths.push_back(path);
    contents.push_back(ReadFile(path));
  }
  void Note(const std::string& path, const std::string& text) override {
    notes.push_back(path + ": " + text);
  }
  bool Interrupted() override { return rowsBeforeInterrupt >= 0 && rowsBeforeInterrupt-- == 0; }

  std::vector<std::string> paths;
  std::vector<std::string> contents;
  std::vector<std::string> notes;
  int rowsBeforeInterrupt = -1;  // a signal comes after this many rows; -1: none
};

}  // namespace pathmon::testing
