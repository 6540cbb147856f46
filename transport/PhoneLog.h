// SPDX-License-Identifier: Apache-2.0
#pragma once
// Retrieval of a phone's own log (two SNMP columns) into a numbered text file, which the
// desktop is then asked to open.

#include <string>

namespace pathmon {

class WriteFailures;

class SnmpClient;

// The front end's side of a log retrieval: opens the written file in the user's viewer
// without waiting for it, hears what the file leaves out, and may cut the retrieval short.
// The GUI hands in the desktop's opener, tests a fake, the command line one that only notes
// the name. Every call comes from the thread that runs GetPhoneLog.
class FileOpener {
 public:
  virtual ~FileOpener() = default;
  virtual void Open(const std::string& path) = 0;
  // A remark on the log written to path (rows beyond those read, a row cut at a zero
  // byte), for the user, never for the file, whose format stays the phone's rows alone.
  virtual void Note(const std::string& /*path*/, const std::string& /*text*/) {}
  // Asked before every row; true ends the retrieval without touching the file.
  virtual bool Interrupted() { return false; }
};

// Runs xdg-open on the file, detached, without waiting. Holds no state.
class XdgFileOpener final : public FileOpener {
 public:
  void Open(const std::string& path) override;
};

// Rows 1..75 of each column until the first missing one (a row that is no OCTET STRING
// counts as missing). False when neither log column gave a row, or when the opener
// interrupted the retrieval (no file is touched then); true otherwise, also when the file
// could not be written: that failure goes to failures. The file is replaced only when it
// is a regular file (never through a symlink), in one piece.
bool GetPhoneLog(SnmpClient& client, const char* agent, const char* community,
                 const char* fileName, FileOpener& opener, WriteFailures& failures);

}  // namespace pathmon
