// SPDX-License-Identifier: Apache-2.0
#include "frontend/Figures.h"

#include <fmt/format.h>

namespace pathmon {

std::string VoiceFigureText(const VoiceFigure& figure, const VoiceQuality& voice) {
  if (voice.loss.sent == 0) return "-";
  return fmt::format("{:.{}f}", figure.get(voice), figure.decimals);
}

}  // namespace pathmon
