#pragma once
// The logic of the main window: the phone list with each test's state and figures, the
// 2-second refresh, the sort by a figure, and the Start, Stop, Get Log, Add and Close
// commands.

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/Settings.h"
#include "looptest/LoopTest.h"
#include "transport/FileWrite.h"
#include "ui/DialogView.h"

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
inline constexpr int kRefreshTimerId = 1;
inline constexpr int kRefreshTimerMs = 2000;
inline constexpr int kStartTries = 3;
inline constexpr int32_t kTestIntervalMs = 20;

struct ListColumn {
  const char* header;
  int width;  // pixels
};
inline constexpr int kColumnCount = 12;
inline constexpr std::array<ListColumn, kColumnCount> kListColumns = {{
    {"USER", 100},
    {"SN", 150},
    {"PATHMON", 70},
    {"SENT", 70},
    {"RCVD", 60},
    {"LOST", 70},
    {"INTERRUPTIONS", 100},
    {"AVG RTT", 100},
    {"MAXBURSTLOST", 100},
    {"DELAYED", 100},
    {"RTT", 40},
    {"MAX RTT", 40},
}};
inline constexpr int kFirstFigureColumn = 3;

// A test's state and figures, read together under its lock.
struct TestSnapshot {
  bool running = false;
  TestStatistics stats;
  TestEnd end = TestEnd::kNone;  // why the last test ended
};

// The figure shown in column 3..11; 0 for any other column.
int32_t ColumnFigure(const TestStatistics& stats, int column);
// The order of two rows for a click on column: negative when a goes first. Columns 3..11
// order by the figure, largest first; other columns impose no order.
int32_t CompareRows(const TestSnapshot& a, const TestSnapshot& b, int column);
// The rows' new order after a click on column (new row i is old row order[i]); rows that
// compare equal keep their order. A row without a test (nullopt) compares equal to every row.
std::vector<int> SortOrder(const std::vector<std::optional<TestSnapshot>>& rows, int column);

// What the main window needs of the main window's list control, on top of a dialog.
class MainView : public DialogView {
 public:
  virtual int ListRowCount() = 0;
  virtual LoopTest* ListRowTest(int row) = 0;  // the row's item data; nullptr when none
  virtual void ListDeleteAllRows() = 0;
  // Inserts a row at index row (or at the end) with text in column 0; false when it failed.
  virtual bool ListInsertRow(int row, const std::string& text, LoopTest* test) = 0;
  virtual void ListSetText(int row, int column, const std::string& text) = 0;
  // The first selected row after row `after` (-1: from the top); -1 when there is none.
  virtual int ListNextSelected(int after) = 0;
  // Puts old row order[i] at position i; the selection follows its rows.
  virtual void ListReorder(const std::vector<int>& order) = 0;
  // The add-phones dialog, modal; its result is not used.
  virtual void RunAddPhonesDialog() = 0;
  virtual void ShowAboutDialog() = 0;
};

// The engine and the directory as the main window sees them.
class MainBackend {
 public:
  virtual ~MainBackend() = default;
  // Every registered LoopTest in slot order, under the registry lock.
  virtual void ForEachLoopTest(const std::function<void(int slot, LoopTest& test)>& visit) = 0;
  virtual bool FindPhoneBySerial(const char* serialNumber, PhoneEntry& entry) = 0;
  virtual TestSnapshot Snapshot(LoopTest& test) = 0;
  virtual int SendStartCommand(int tries, uint32_t peerAddress, LoopTest& test) = 0;
  virtual int StartLoopTest(int32_t durationSeconds, int32_t intervalMs, uint32_t peerAddress,
                            ResultCallback callback, LoopTest* test) = 0;
  virtual int StopLoopTest(LoopTest* test) = 0;
  virtual bool GetPhoneLog(const char* agent, const char* fileName) = 0;
  virtual void CreateLoopTestsForPhones() = 0;
  // The callback every started test gets.
  virtual ResultCallback HistoryCallback() = 0;
  // The history and log files that failed for the first time since the last call.
  virtual std::vector<WriteFailure> TakeWriteFailures() { return {}; }
  // Every file that failed, with its count of lost writes.
  virtual std::vector<WriteFailure> AllWriteFailures() { return {}; }
};

// The process-wide registry, directory, socket and history writer.
MainBackend& ProgramBackend();

// Contract: user-interface thread only. The view calls OnInitDialog when the window opens,
// OnTimer for every tick, OnColumnClick for a header click and the On... command handlers
// for the buttons; OnCloseWindow for Close, Enter, Esc and the close box.
class MainPresenter {
 public:
  MainPresenter(MainView& view, MainBackend& backend, const ProgramSettings& settings);

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

 private:
  // A warning box for each history or log file that failed for the first time.
  void ShowWriteFailures();

  MainView& view_;
  MainBackend& backend_;
  const ProgramSettings& settings_;
};

}  // namespace pathmon
