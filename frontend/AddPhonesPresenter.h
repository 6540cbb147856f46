// SPDX-License-Identifier: Apache-2.0
#pragma once
// The logic of the add-phones dialog: checks an address range, runs the discovery scan over
// it, follows its progress every 2 seconds and ends when no probe is busy any more.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "discovery/PhoneListMgr.h"

#include "frontend/DialogView.h"

namespace pathmon {

inline constexpr int kIdStartAddress = 1008;
inline constexpr int kIdEndAddress = 1009;
inline constexpr int kIdScanProgress = 1010;
inline constexpr int kIdDiscovered = 1012;
inline constexpr int kIdAddPhonesHelp = 1017;
inline constexpr int kIdScanned = 1021;
inline constexpr int kIdRemaining = 1022;
inline constexpr int kIdScanStart = 1;   // "Start", the default button
inline constexpr int kIdScanClose = 2;   // "Close"
inline constexpr int kScanTimerId = 1;
inline constexpr int kScanTimerMs = 2000;
inline constexpr uint32_t kMaxRangeSpan = 255;  // ending minus starting address

// The verdict on a range. Only the first failing check is reported.
struct RangeCheck {
  std::string message;  // empty when the range is accepted
  uint32_t first = 0;   // host byte order
  uint32_t last = 0;
};
// inet_addr's rules: text that is no address, 0.0.0.0 and 255.255.255.255 are invalid.
RangeCheck CheckAddressRange(const char* start, const char* end);

// The message at the end of a scan; empty when the directory grew (the dialog ends with OK).
std::string ScanEndMessage(int32_t phoneCount, int32_t baselineCount);

// The scan as the dialog sees it.
class DiscoveryAccess {
 public:
  virtual ~DiscoveryAccess() = default;
  virtual int32_t GetPhoneCount() = 0;
  // Returns once a probe has been started for every address of the range.
  virtual bool StartDiscovery(const char* first, const char* last) = 0;
  virtual int32_t GetBusySlotCount() = 0;
  // Every phone the directory holds, in position order, and the phones found but not held.
  virtual std::vector<PhoneEntry> Phones() { return {}; }
  virtual std::vector<PhoneNotKept> PhonesNotKept() { return {}; }
  // Probes that could not be sent at all, since the program started.
  virtual int32_t GetUnprobedCount() { return 0; }
  // What the probes of the last scan heard (see DiscoveryScan::Counts).
  virtual ScanCounts GetScanCounts() { return {}; }
  // Asked during StartDiscovery's walk; true ends it (see DiscoveryScan::SetStopCheck).
  virtual void SetStopCheck(std::function<bool()> /*stop*/) {}
};

// Contract: user-interface thread only. The view calls OnInitDialog when the dialog opens,
// OnStart for "Start" and Enter, OnTimer for every timer tick; "Close" ends the dialog with
// Cancel in the view.
class AddPhonesPresenter {
 public:
  AddPhonesPresenter(DialogView& view, DiscoveryAccess& discovery);

  bool OnInitDialog();
  void OnStart();
  void OnTimer(int id);
  bool Scanning() const { return scanning_; }

  // The members exchanged with the controls.
  std::string startAddress;
  std::string endAddress;
  int32_t discovered = 0;
  int32_t scanned = 0;
  int32_t remaining = 0;
  std::string help;
  int32_t baselineCount = 0;

 private:
  void UpdateControls();
  void UpdateMembers();

  DialogView& view_;
  DiscoveryAccess& discovery_;
  uint32_t span_ = 0;  // ending minus starting address of the accepted range
  bool scanning_ = false;
};

}  // namespace pathmon
