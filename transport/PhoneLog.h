#pragma once
// Retrieval of a phone's own log (two SNMP columns) into a numbered text file, which the
// desktop is then asked to open.

#include <string>

namespace pathmon {

class SnmpClient;

// Opens a file in the user's viewer without waiting for it. The GUI hands in the desktop's
// opener, tests a fake, the command line one that only notes the name.
class FileOpener {
 public:
  virtual ~FileOpener() = default;
  virtual void Open(const std::string& path) = 0;
};

// Runs xdg-open on the file, detached, without waiting. Holds no state.
class XdgFileOpener final : public FileOpener {
 public:
  void Open(const std::string& path) override;
};

// False when neither log column gave a row (no file is touched then); true otherwise, also
// when the file could not be written.
bool GetPhoneLog(SnmpClient& client, const char* agent, const char* community,
                 const char* fileName, FileOpener& opener);

}  // namespace pathmon
