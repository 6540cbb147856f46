// SPDX-License-Identifier: Apache-2.0
#pragma once
// A fresh empty folder of a test's own under /tmp, removed with all it holds at destruction;
// and a file read whole.
//
// Contract: one thread drives an instance.

#include <string>
#include <vector>

namespace pathmon::testing {

class TempDir {
 public:
  // /tmp/pathmon-<what>-XXXXXX; a folder that cannot be made is a gtest failure, and Path()
  // is empty then.
  explicit TempDir(const std::string& what = "test");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& Path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }
  std::vector<std::string> Names() const;  // what it holds, sorted

 private:
  std::string path_;
};

// The bytes of the file, empty when it cannot be read.
std::string ReadFile(const std::string& path);

}  // namespace pathmon::testing
