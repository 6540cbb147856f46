#include "app/Settings.h"

namespace pathmon {

ProgramSettings& Settings() {
  static ProgramSettings settings;
  return settings;
}

}  // namespace pathmon
