// SPDX-License-Identifier: Apache-2.0
// The file name made from a phone's texts: whatever the user name and the serial number, the
// name stays in its folder (no separator, never "." or ".."), is visible (no leading dot) and
// holds no control character, C1 included, whether the text is UTF-8 or not. Terminal text
// goes through the same filter. Input: one byte giving the user name's length, the user
// name, then the serial number.

#include <clocale>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>
#include <string_view>

#include "engine/HistoryFile.h"
#include "engine/PhoneText.h"

namespace {

// Decodes text with the C library's UTF-8 decoder (independent of the one under test).
bool DecodesAsUtf8(std::string_view text) {
  std::mbstate_t state{};
  std::size_t i = 0;
  while (i < text.size()) {
    wchar_t c;
    const std::size_t n = std::mbrtowc(&c, text.data() + i, text.size() - i, &state);
    if (n == static_cast<std::size_t>(-1) || n == static_cast<std::size_t>(-2)) return false;
    i += n == 0 ? 1 : n;
  }
  return true;
}

// No C0, DEL or C1 control: no C2 80-C2 9F pair at all, and bytes 80-9F only as parts of
// other characters of well-formed UTF-8.
void CheckNoControl(std::string_view text) {
  bool highC1Byte = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto b = static_cast<uint8_t>(text[i]);
    if (b < 0x20 || b == 0x7F) std::abort();
    if (b >= 0x80 && b <= 0x9F) {
      highC1Byte = true;
      if (i > 0 && static_cast<uint8_t>(text[i - 1]) == 0xC2) std::abort();
    }
  }
  if (highC1Byte && !DecodesAsUtf8(text)) std::abort();
}

void CheckName(std::string_view name) {
  if (name.empty() || name == "." || name == ".." || name.front() == '.') std::abort();
  if (name.find('/') != std::string_view::npos || name.find('\\') != std::string_view::npos) {
    std::abort();
  }
  CheckNoControl(name);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (std::setlocale(LC_CTYPE, "C.UTF-8") == nullptr) std::abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);
  const std::size_t cut = std::min<std::size_t>(data[0], input.size());
  const std::string_view user = input.substr(0, cut);
  const std::string_view serial = input.substr(cut);

  using namespace pathmon;
  const std::string history = HistoryFileName(user, serial);
  CheckName(history);
  if (history.size() < 4 || history.compare(history.size() - 4, 4, ".txt") != 0) std::abort();
  const std::string log = LogFileName(user, serial);
  CheckName(log);
  if (log.size() < 8 || log.compare(log.size() - 8, 8, "_log.txt") != 0) std::abort();
  CheckName(pathmon::SafeFileName(std::string(input)));
  CheckNoControl(pathmon::ReplaceControlCharacters(input, "?"));
  return 0;
}
