// SPDX-License-Identifier: Apache-2.0
#include "cli/ConsoleScan.h"

namespace pathmon::cli {

std::string ScanProgressLine(const AddressRange& range, const std::string& scanned,
                             const std::string& remaining, const std::string& discovered) {
  return "Scanning " + range.first + "-" + range.last + ": " + scanned + " scanned, " +
         remaining + " remaining, " + discovered + " phones found";
}

ScanEnd RunConsoleScan(DiscoveryAccess& discovery, const AddressRange& range,
                       const InterruptibleWait& wait, std::ostream& out, std::ostream& err,
                       bool terminal) {
  ConsoleScanView view;
  AddPhonesPresenter dialog(view, discovery);
  auto showMessages = [&] {
    for (const std::string& message : view.TakeMessages()) err << message << '\n';
    err << std::flush;
  };
  dialog.OnInitDialog();
  view.SetControlText(kIdStartAddress, range.first);
  view.SetControlText(kIdEndAddress, range.last);
  dialog.OnStart();
  if (!dialog.Scanning()) {
    showMessages();
    return ScanEnd::kRefused;
  }

  auto progress = [&] {
    return ScanProgressLine(range, view.GetControlText(kIdScanned),
                            view.GetControlText(kIdRemaining),
                            view.GetControlText(kIdDiscovered));
  };
  bool interrupted = false;
  while (view.Result() == 0) {
    if (wait(view.TimerInterval())) {
      interrupted = true;
      break;
    }
    dialog.OnTimer(kScanTimerId);
    if (terminal) {
      out << '\r' << progress() << "\x1b[K" << std::flush;
      if (view.Result() != 0) out << '\n' << std::flush;
    } else {
      out << progress() << '\n' << std::flush;
    }
    showMessages();  // the end-of-scan message follows the last progress line
  }
  if (interrupted && terminal) out << '\n' << std::flush;
  if (interrupted) return ScanEnd::kInterrupted;
  return view.Result() == kResultOk ? ScanEnd::kFoundNew : ScanEnd::kNothingNew;
}

}  // namespace pathmon::cli
