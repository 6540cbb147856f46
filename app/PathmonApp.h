// SPDX-License-Identifier: Apache-2.0
#pragma once
// The program's whole life on an engine: the single-instance guard, the community dialog,
// the test socket, the main window, and the orderly shutdown.

#include <string>

namespace pathmon {

class Engine;
class FileOpener;

class PathmonApp {
 public:
  // lockPath: the single-instance lock file; empty for InstanceGuard::DefaultPath().
  // opener: what shows a fetched log; nullptr for the desktop's viewer.
  explicit PathmonApp(Engine& engine, std::string lockPath = {}, FileOpener* opener = nullptr);

  // Runs on the user-interface thread, with the QApplication made; returns the exit status.
  int Run();

 private:
  Engine& engine_;
  std::string lockPath_;
  FileOpener* opener_;
};

}  // namespace pathmon
