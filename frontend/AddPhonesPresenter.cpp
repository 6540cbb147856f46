// SPDX-License-Identifier: Apache-2.0
#include "frontend/AddPhonesPresenter.h"

#include <arpa/inet.h>

#include "frontend/Messages.h"

namespace pathmon {

namespace {

bool ValidAddress(in_addr_t value) { return value != 0 && value != INADDR_NONE; }

}  // namespace

RangeCheck CheckAddressRange(const char* start, const char* end) {
  RangeCheck check;
  in_addr_t first = ::inet_addr(start);
  if (!ValidAddress(first)) {
    check.message = kMsgInvalidStart;
    return check;
  }
  in_addr_t last = ::inet_addr(end);
  if (!ValidAddress(last)) {
    check.message = kMsgInvalidEnd;
    return check;
  }
  check.first = ntohl(first);
  check.last = ntohl(last);
  if (check.last < check.first) {
    check.message = kMsgInvalidRange;
  } else if (check.last - check.first > kMaxRangeSpan) {
    check.message = kMsgRangeTooLarge;
  }
  return check;
}

std::string ScanEndMessage(int32_t phoneCount, int32_t baselineCount) {
  if (phoneCount != baselineCount) {
    return {};
  }
  return baselineCount != 0 ? kMsgNoNewPhones : kMsgNoPhones;
}

AddPhonesPresenter::AddPhonesPresenter(DialogView& view, DiscoveryAccess& discovery)
    : view_(view), discovery_(discovery) {}

bool AddPhonesPresenter::OnInitDialog() {
  baselineCount = discovery_.GetPhoneCount();
  discovered = baselineCount;
  help = kAddPhonesHelp;
  UpdateControls();
  return true;
}

void AddPhonesPresenter::OnStart() {
  if (scanning_) {
    return;  // the button is disabled; Enter must not start a second scan
  }
  UpdateMembers();
  RangeCheck check = CheckAddressRange(startAddress.c_str(), endAddress.c_str());
  if (!check.message.empty()) {
    view_.ShowMessage(check.message);
    return;
  }
  span_ = check.last - check.first;
  view_.SetProgressRange(1, static_cast<int16_t>(span_));
  view_.SetProgressPos(1);
  view_.BeginWaitCursor();
  discovery_.StartDiscovery(startAddress.c_str(), endAddress.c_str());
  view_.EndWaitCursor();
  scanning_ = true;
  view_.StartTimer(kScanTimerId, kScanTimerMs);
  view_.EnableControl(kIdScanStart, false);
  view_.EnableControl(kIdScanClose, false);
  view_.EnableControl(kIdStartAddress, false);
  view_.EnableControl(kIdEndAddress, false);
}

void AddPhonesPresenter::OnTimer(int id) {
  if (id != kScanTimerId || !scanning_) {
    return;
  }
  int32_t busy = discovery_.GetBusySlotCount();
  int32_t count = discovery_.GetPhoneCount();
  int32_t span = static_cast<int32_t>(span_);
  view_.SetProgressPos(span - busy);
  discovered = count;
  scanned = span + 1 - busy < 0 ? 0 : span + 1 - busy;
  remaining = busy;
  UpdateControls();
  if (busy != 0) {
    return;
  }
  view_.KillTimer(kScanTimerId);
  scanning_ = false;
  std::string message = ScanEndMessage(count, baselineCount);
  if (message.empty()) {
    view_.EndDialog(kResultOk);
    return;
  }
  // Whether anything answered at all tells a wrong range or community from phones that
  // refuse SNMP.
  const ScanCounts counts = discovery_.GetScanCounts();
  view_.ShowMessage(message + "\n" +
                    FillMessage(kMsgScanAnswers, std::to_string(counts.answered),
                                std::to_string(counts.timedOut)));
  view_.EndDialog(kResultCancel);
}

void AddPhonesPresenter::UpdateControls() {
  view_.SetControlText(kIdStartAddress, startAddress);
  view_.SetControlText(kIdEndAddress, endAddress);
  view_.SetControlText(kIdDiscovered, std::to_string(discovered));
  view_.SetControlText(kIdScanned, std::to_string(scanned));
  view_.SetControlText(kIdRemaining, std::to_string(remaining));
  view_.SetControlText(kIdAddPhonesHelp, help);
}

void AddPhonesPresenter::UpdateMembers() {
  startAddress = view_.GetControlText(kIdStartAddress);
  endAddress = view_.GetControlText(kIdEndAddress);
  help = view_.GetControlText(kIdAddPhonesHelp);
}

}  // namespace pathmon
