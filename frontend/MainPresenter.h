// SPDX-License-Identifier: Apache-2.0
#pragma once
// The logic of the main window: the phone list with each test's state, figures and voice
// figures, the rows' colour bands and tooltips, the 2-second refresh with its status line,
// the sort by a figure, and the Start, Stop, Get Log, Add and Close commands.

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "engine/Settings.h"
#include "frontend/Backend.h"
#include "frontend/DialogView.h"
#include "frontend/Figures.h"
#include "frontend/PhoneTable.h"
#include "frontend/SharedInterruptions.h"
#include "frontend/VoiceWorker.h"
#include "transport/Clock.h"

namespace pathmon {

struct PhoneEntry;

inline constexpr int kIdPhoneList = 1005;
inline constexpr int kIdHelpAdd = 1019;
inline constexpr int kIdHelpFigures = 1020;
inline constexpr int kIdAddPhones = 1007;
inline constexpr int kIdStartTest = 1001;
inline constexpr int kIdStopTest = 1006;
inline constexpr int kIdGetLog = 1023;
inline constexpr int kIdCloseMain = 1;
inline constexpr int kIdStatusLine = 1100;  // the status bar's text
inline constexpr int kRefreshTimerId = 1;
inline constexpr int kRefreshTimerMs = 2000;

// The order of two rows for a click on column: negative when a goes first. Figure columns
// order by the figure, largest first; other columns impose no order.
int32_t CompareRows(const TestSnapshot& a, const TestSnapshot& b, int column);
// The rows' new order after a click on column (new row i is old row order[i]), largest
// first or, reversed, smallest first; rows that compare equal keep their order. A row
// without a test (nullopt) compares equal to every row.
std::vector<int> SortOrder(const std::vector<std::optional<TestSnapshot>>& rows, int column,
                           bool largestFirst = true);
// The same for rows keyed by a voice figure (nullopt: a row without a test).
std::vector<int> SortOrder(const std::vector<std::optional<double>>& keys, bool largestFirst);

// The status bar: "8 phones · 5 running · 1 unusable · last scan 18:02 · last shared
// interruption 20:47:42, every running phone"; the last scan only once a scan has run
// (lastScan empty before), the last shared interruption (SharedInterruptionStatus) once one
// was seen.
std::string StatusLine(int phones, int running, int unusable, const std::string& lastScan,
                       const std::string& lastShared = "");

// What the main window needs of the main window's list control, on top of a dialog.
class MainView : public DialogView {
 public:
  virtual int ListRowCount() = 0;
  virtual LoopTest* ListRowTest(int row) = 0;  // the row's item data; nullptr when none
  virtual void ListDeleteAllRows() = 0;
  // Inserts a row at index row (or at the end) with text in column 0; false when it failed.
  virtual bool ListInsertRow(int row, const std::string& text, LoopTest* test) = 0;
  virtual void ListSetText(int row, int column, const std::string& text) = 0;
  // The row's colour band (its current cycle's verdict) and tooltip (empty: none).
  virtual void ListSetBand(int row, Band band, const std::string& toolTip) = 0;
  // The first selected row after row `after` (-1: from the top); -1 when there is none.
  virtual int ListNextSelected(int after) = 0;
  // Puts old row order[i] at position i; the selection follows its rows.
  virtual void ListReorder(const std::vector<int>& order) = 0;
  // The header's sort mark on column, pointing down for largest first; none for -1.
  virtual void ListSetSortIndicator(int column, bool largestFirst) = 0;
  // The add-phones dialog, modal; its result is not used.
  virtual void RunAddPhonesDialog() = 0;
  virtual void ShowAboutDialog() = 0;
};


// Contract: user-interface thread only. The view calls OnInitDialog when the window opens,
// OnTimer for every tick, OnColumnClick for a header click and the On... command handlers
// for the buttons; OnCloseWindow for Close, Enter, Esc and the close box. A click on the
// header column the rows are sorted by reverses the order; a click on another figure column
// sorts largest first. The rows' voice figures are assessed on the presenter's VoiceWorker:
// each refresh shows (and a voice column sorts by) the figures finished since the last one,
// and asks for new ones. The backend's tests must outlive the presenter. The session's
// interruptions seen together come from one correlator (sites by /24 network) that the
// presenter adds to the backend when it is made, before any test starts, and polls with
// every refresh.
class MainPresenter {
 public:
  // clock: the wall clock of the status line's last scan; nullptr for the system's.
  MainPresenter(MainView& view, MainBackend& backend, const ProgramSettings& settings,
                Clock* clock = nullptr);

  bool OnInitDialog();
  void OnTimer(int id);
  void OnColumnClick(int column);
  void OnAbout();

  void FillPhoneList();
  void RefreshRows();
  int32_t CountRunningTests();

  void OnStart();
  void OnStop();
  void OnGetLog();
  void OnAddPhones();
  void OnCloseWindow();

  // The worker the rows' figures come from; the phone windows ask it for their charts.
  VoiceWorker& Voices() { return worker_; }
  // The session's interruptions seen together, for the phone windows and Save Report.
  SharedInterruptions& Shared() { return shared_; }

 private:
  // A warning box for each history or log file that failed for the first time.
  void ShowWriteFailures();
  // The test's last finished voice figures; asks for them again only while it runs or when
  // its cycle changed: an assessment reads every frame of the cycle.
  const VoiceQuality& VoiceOf(LoopTest& test, const TestSnapshot& snap);
  // Takes the figures the worker finished into voices_.
  void TakeFinishedVoices();
  // Writes every row's state, figures and band from the snapshots and voices_.
  void WriteRows();

  MainView& view_;
  MainBackend& backend_;
  const ProgramSettings& settings_;
  Clock& clock_;
  int sortColumn_ = -1;  // the figure column the rows are sorted by; -1 for registry order
  bool sortLargestFirst_ = true;
  std::string lastScan_;  // local time of the last Add, "HH:MM"; empty before
  struct VoiceCache {
    bool running = false;  // the test's state and count when its figures were last asked for
    int32_t sent = -1;
    VoiceQuality voice;  // the last finished; none sent before the first
  };
  std::map<const LoopTest*, VoiceCache> voices_;
  SharedInterruptions shared_;
  // Last: stopped first, while the rest still exists.
  VoiceWorker worker_;
};

}  // namespace pathmon
