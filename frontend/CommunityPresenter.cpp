// SPDX-License-Identifier: Apache-2.0
#include "frontend/CommunityPresenter.h"

#include <cerrno>
#include <cstdlib>

#include "discovery/PhoneListMgr.h"
#include "frontend/Messages.h"
#include "transport/Dscp.h"

namespace pathmon {

namespace {

char FoldAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

}  // namespace

bool IsDefaultCommunity(std::string_view community) {
  std::string_view def = kDefaultCommunity;
  if (community.size() != def.size()) {
    return false;
  }
  for (std::size_t i = 0; i < def.size(); ++i) {
    if (FoldAscii(community[i]) != FoldAscii(def[i])) {
      return false;
    }
  }
  return true;
}

DurationParse ParseDuration(std::string_view text, int32_t& minutes) {
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end && IsBlank(text[begin])) ++begin;
  while (end > begin && IsBlank(text[end - 1])) --end;
  std::string_view number = text.substr(begin, end - begin);
  std::size_t digits = (!number.empty() && (number[0] == '+' || number[0] == '-')) ? 1 : 0;
  if (digits == number.size()) {
    return DurationParse::kNotInteger;
  }
  for (std::size_t i = digits; i < number.size(); ++i) {
    if (number[i] < '0' || number[i] > '9') {
      return DurationParse::kNotInteger;
    }
  }
  // A whole number too long for any integer type is still a whole number: out of range.
  std::string copy(number);
  errno = 0;
  long long value = std::strtoll(copy.c_str(), nullptr, 10);
  if (errno == ERANGE || value < kMinDurationMinutes || value > kMaxDurationMinutes) {
    return DurationParse::kOutOfRange;
  }
  minutes = static_cast<int32_t>(value);
  return DurationParse::kOk;
}

CommunityCheck CheckCommunityInput(std::string_view community, std::string_view durationText) {
  CommunityCheck check;
  // The community is held in a field of 255 characters; a longer one is refused here so
  // that it never reaches the directory cut short.
  if (community.size() > static_cast<std::size_t>(kCommunityMax)) {
    check.message = FillMessage(kMsgTextTooLong, std::to_string(kCommunityMax), "");
    check.field = CommunityField::kCommunity;
    return check;
  }
  switch (ParseDuration(durationText, check.durationMinutes)) {
    case DurationParse::kNotInteger:
      check.message = kMsgEnterInteger;
      check.field = CommunityField::kDuration;
      return check;
    case DurationParse::kOutOfRange:
      check.message = FillMessage(kMsgIntegerRange, std::to_string(kMinDurationMinutes),
                                  std::to_string(kMaxDurationMinutes));
      check.field = CommunityField::kDuration;
      return check;
    case DurationParse::kOk:
      break;
  }
  check.defaultCommunity = IsDefaultCommunity(community);
  if (check.defaultCommunity && check.durationMinutes > kDefaultCommunityMaxMinutes) {
    check.message = kMsgDefaultCommunityDuration;
    check.field = CommunityField::kDuration;
  }
  return check;
}

void ApplyCommunityInput(const CommunityCheck& check, std::string_view community,
                         ProgramSettings& settings,
                         const std::function<void(const char*)>& setCommunity) {
  if (check.defaultCommunity) {
    settings.maxConcurrentTests = kDefaultCommunityMaxTests;
  }
  settings.durationMinutes = check.durationMinutes;
  std::string text(community);
  setCommunity(text.c_str());
}

CommunityPresenter::CommunityPresenter(DialogView& view, ProgramSettings& settings,
                                       std::function<void(const char*)> setCommunity)
    : community(kDefaultCommunity),
      duration(std::to_string(kInitialDurationMinutes)),
      dscp("CS0"),
      view_(view),
      settings_(settings),
      setCommunity_(std::move(setCommunity)) {}

bool CommunityPresenter::OnInitDialog() {
  help = kCommunityHelp;
  UpdateControls();
  return true;
}

void CommunityPresenter::OnOK() {
  UpdateMembers();
  CommunityCheck check = CheckCommunityInput(community, duration);
  if (!check.message.empty()) {
    view_.ShowMessage(check.message);
    view_.FocusControl(check.field == CommunityField::kDuration ? kIdDuration : kIdCommunity);
    return;
  }
  int32_t marking = 0;
  if (!ParseDscp(dscp, marking)) {
    view_.ShowMessage(kMsgBadDscp);
    view_.FocusControl(kIdDscp);
    return;
  }
  ApplyCommunityInput(check, community, settings_, setCommunity_);
  settings_.dscp = marking;
  view_.EndDialog(kResultOk);
}

void CommunityPresenter::UpdateControls() {
  view_.SetControlText(kIdCommunity, community);
  view_.SetControlText(kIdCommunityHelp, help);
  view_.SetControlText(kIdDuration, duration);
  view_.SetControlText(kIdDscp, dscp);
}

void CommunityPresenter::UpdateMembers() {
  community = view_.GetControlText(kIdCommunity);
  help = view_.GetControlText(kIdCommunityHelp);
  duration = view_.GetControlText(kIdDuration);
  dscp = view_.GetControlText(kIdDscp);
}

}  // namespace pathmon
