// SPDX-License-Identifier: Apache-2.0
#pragma once
// The main window's list as text: the same 12 columns, headers, "%d" figures and
// "Running"/"Stopped", then the voice figures of the current cycle (JITTER, P95 RTT, MOS,
// WORST), left-aligned in columns as wide as their widest text.

#include <array>
#include <string>
#include <vector>

#include "frontend/Backend.h"
#include "frontend/Figures.h"

namespace pathmon::cli {

using RowTexts = std::array<std::string, kTableColumnCount>;

// The text with every control character (C0, DEL and C1, see ReplaceControlCharacters)
// replaced by "?": a phone's texts come from the network, and an escape sequence in a user
// name (ESC, or the one-character CSI U+009B) must not drive the administrator's terminal.
std::string PrintableText(std::string text);

// A row as the main window's refresh writes it: user, serial number, state, figures; then
// the voice figures.
RowTexts MakeRow(const std::string& userName, const std::string& serialNumber,
                 const TestSnapshot& snapshot, const VoiceQuality& voice);

// The header line and one line per row, each ended by "\n". Columns are separated by two
// blanks; trailing blanks are dropped.
std::string RenderTable(const std::vector<RowTexts>& rows);

}  // namespace pathmon::cli
