// SPDX-License-Identifier: Apache-2.0
#pragma once
// The logic of the community and duration dialog: the first question of the program.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "engine/Settings.h"
#include "frontend/DialogView.h"

namespace pathmon {

inline constexpr int kIdCommunity = 1013;
inline constexpr int kIdCommunityHelp = 1014;
inline constexpr int kIdDuration = 1015;
inline constexpr int kIdDscp = 1016;  // the class of the test's datagrams (transport/Dscp.h)

// True when community is "orchid", ASCII letter case ignored; blanks count.
bool IsDefaultCommunity(std::string_view community);

enum class DurationParse {
  kOk,
  kNotInteger,  // not a whole decimal number with an optional sign
  kOutOfRange,  // a whole number outside 1..60
};
// Blanks and tabs before and after the number are allowed.
DurationParse ParseDuration(std::string_view text, int32_t& minutes);

// The dialog's input fields, as the checks name the one at fault: the dialog gives its box
// the focus, the command line names its option.
enum class CommunityField { kNone, kCommunity, kDuration };

// The verdict on the dialog's input. Only the first failing check is reported.
struct CommunityCheck {
  std::string message;  // empty when the input is accepted
  CommunityField field = CommunityField::kNone;  // the field at fault
  int32_t durationMinutes = 0;
  bool defaultCommunity = false;  // then at most 2 tests may run at once
};
CommunityCheck CheckCommunityInput(std::string_view community, std::string_view durationText);

// Stores an accepted verdict: the duration, the limit of the default community, and the
// community itself through setCommunity.
void ApplyCommunityInput(const CommunityCheck& check, std::string_view community,
                         ProgramSettings& settings,
                         const std::function<void(const char*)>& setCommunity);

// Contract: user-interface thread only. The view calls OnInitDialog when the dialog opens
// and OnOK for the OK button and Enter; Cancel ends the dialog in the view.
class CommunityPresenter {
 public:
  CommunityPresenter(DialogView& view, ProgramSettings& settings,
                     std::function<void(const char*)> setCommunity);

  bool OnInitDialog();
  void OnOK();

  // The members exchanged with the controls.
  std::string community;
  std::string help;
  std::string duration;
  std::string dscp;  // a name or a number, checked with ParseDscp after the dialog's checks

 private:
  void UpdateControls();
  void UpdateMembers();

  DialogView& view_;
  ProgramSettings& settings_;
  std::function<void(const char*)> setCommunity_;
};

}  // namespace pathmon
