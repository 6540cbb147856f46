// SPDX-License-Identifier: Apache-2.0
#include "frontend/MainPresenter.h"

#include <ctime>

#include "engine/HistoryFile.h"
#include "frontend/Fleet.h"
#include "frontend/Messages.h"
#include "frontend/SharedInterruptionText.h"
#include "frontend/Verdict.h"
#include "frontend/VoiceChart.h"

namespace pathmon {

int32_t CompareRows(const TestSnapshot& a, const TestSnapshot& b, int column) {
  if (column < kFirstFigureColumn || column >= kColumnCount) {
    return 0;
  }
  // Compared, not subtracted: round-trip times from a misbehaving phone span the whole
  // 32-bit range, and b - a would overflow and sort them the wrong way round.
  int32_t fa = ColumnFigure(a.stats, column);
  int32_t fb = ColumnFigure(b.stats, column);
  return (fb > fa) - (fb < fa);
}

std::vector<int> SortOrder(const std::vector<std::optional<TestSnapshot>>& rows, int column,
                           bool largestFirst) {
  std::vector<int> order(rows.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = static_cast<int>(i);
  // Insertion sort: stable, and well defined even though a row without a test compares
  // equal to every other row (no strict weak order); the list holds at most 128 rows.
  auto before = [&](int a, int b) {
    if (!rows[a] || !rows[b]) return false;
    int32_t cmp = CompareRows(*rows[a], *rows[b], column);
    return largestFirst ? cmp < 0 : cmp > 0;
  };
  for (std::size_t i = 1; i < order.size(); ++i) {
    for (std::size_t j = i; j > 0 && before(order[j], order[j - 1]); --j) {
      std::swap(order[j], order[j - 1]);
    }
  }
  return order;
}

std::vector<int> SortOrder(const std::vector<std::optional<double>>& keys, bool largestFirst) {
  std::vector<int> order(keys.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = static_cast<int>(i);
  // As above: stable, and a row without a test blocks.
  auto before = [&](int a, int b) {
    if (!keys[a] || !keys[b]) return false;
    return largestFirst ? *keys[a] > *keys[b] : *keys[a] < *keys[b];
  };
  for (std::size_t i = 1; i < order.size(); ++i) {
    for (std::size_t j = i; j > 0 && before(order[j], order[j - 1]); --j) {
      std::swap(order[j], order[j - 1]);
    }
  }
  return order;
}

std::string StatusLine(int phones, int running, int unusable, const std::string& lastScan,
                       const std::string& lastShared) {
  // U+00B7 MIDDLE DOT between the counts, in UTF-8.
  const std::string dot = " \u00b7 ";
  std::string line = std::to_string(phones) + (phones == 1 ? " phone" : " phones") + dot +
                     std::to_string(running) + " running" + dot + std::to_string(unusable) +
                     " unusable";
  if (!lastScan.empty()) line += dot + "last scan " + lastScan;
  if (!lastShared.empty()) line += dot + "last shared interruption " + lastShared;
  return line;
}

MainPresenter::MainPresenter(MainView& view, MainBackend& backend, const ProgramSettings& settings,
                             Clock* clock)
    : view_(view),
      backend_(backend),
      settings_(settings),
      clock_(clock != nullptr ? *clock : SystemClock()),
      shared_(clock_),
      worker_(backend) {
  backend_.AddObserver(shared_.Observer());
}

bool MainPresenter::OnInitDialog() {
  view_.SetControlText(kIdHelpAdd, kMainHelpAdd);
  view_.SetControlText(kIdHelpFigures, kMainHelpFigures);
  view_.SetControlText(kIdStatusLine, StatusLine(0, 0, 0, lastScan_));
  view_.StartTimer(kRefreshTimerId, kRefreshTimerMs);
  return true;
}

void MainPresenter::OnTimer(int /*id*/) {
  shared_.Poll();
  RefreshRows();
  ShowWriteFailures();
}

void MainPresenter::ShowWriteFailures() {
  // Taken before the first box: the box is modal and the timer goes on meanwhile.
  for (const WriteFailure& failure : backend_.TakeWriteFailures()) {
    view_.ShowMessage(WriteFailureMessage(failure));
  }
}

void MainPresenter::OnAbout() { view_.ShowAboutDialog(); }

void MainPresenter::OnColumnClick(int column) {
  const VoiceFigure* voice = ColumnVoiceFigure(column);
  if ((column >= kFirstFigureColumn && column < kColumnCount) || voice != nullptr) {
    sortLargestFirst_ = column == sortColumn_ ? !sortLargestFirst_ : true;
    sortColumn_ = column;
  }
  // Columns without a figure sort nothing; the mark stays where the order came from.
  view_.ListSetSortIndicator(sortColumn_, sortLargestFirst_);
  int count = view_.ListRowCount();
  TakeFinishedVoices();
  if (voice != nullptr) {
    std::vector<std::optional<double>> keys;
    for (int i = 0; i < count; ++i) {
      LoopTest* test = view_.ListRowTest(i);
      if (test == nullptr) {
        keys.emplace_back();
        continue;
      }
      TestSnapshot snap = backend_.Snapshot(*test);
      const VoiceQuality& figures = VoiceOf(*test, snap);
      // A row whose cycle sent nothing shows "-": below every figure.
      keys.emplace_back(figures.loss.sent > 0 ? voice->get(figures) : -1e300);
    }
    view_.ListReorder(SortOrder(keys, sortLargestFirst_));
  } else {
    std::vector<std::optional<TestSnapshot>> rows;
    for (int i = 0; i < count; ++i) {
      LoopTest* test = view_.ListRowTest(i);
      rows.push_back(test != nullptr ? std::optional(backend_.Snapshot(*test)) : std::nullopt);
    }
    view_.ListReorder(SortOrder(rows, column, sortLargestFirst_));
  }
  // The rows show the figures they were sorted by: none taken in between.
  WriteRows();
}

const VoiceQuality& MainPresenter::VoiceOf(LoopTest& test, const TestSnapshot& snap) {
  VoiceCache& cache = voices_[&test];
  // A test that ended since it was last asked for is asked for once more: its final figures.
  if (snap.running || cache.running || cache.sent != snap.stats.sent) {
    worker_.Request(test);
    cache.running = snap.running;
    cache.sent = snap.stats.sent;
  }
  return cache.voice;
}

void MainPresenter::TakeFinishedVoices() {
  for (auto& [test, voice] : worker_.TakeVoices()) voices_[test].voice = std::move(voice);
}

void MainPresenter::FillPhoneList() {
  view_.ListDeleteAllRows();
  // voices_ stays: the registry's tests live as long as the registry, so a rebuilt list shows
  // the figures already assessed at once.
  sortColumn_ = -1;  // registry order again
  sortLargestFirst_ = true;
  view_.ListSetSortIndicator(sortColumn_, sortLargestFirst_);
  const std::vector<FleetPhone> fleet = FleetSnapshot(backend_);
  for (std::size_t slot = 0; slot < fleet.size(); ++slot) {
    const FleetPhone& phone = fleet[slot];
    const int row = static_cast<int>(slot);
    if (view_.ListInsertRow(row, phone.entry.userName, phone.test)) {
      view_.ListSetText(row, 1, phone.entry.serialNumber);
    }
  }
}

void MainPresenter::RefreshRows() {
  TakeFinishedVoices();
  WriteRows();
}

void MainPresenter::WriteRows() {
  int count = view_.ListRowCount();
  int running = 0;
  int unusable = 0;
  for (int i = 0; i < count; ++i) {
    LoopTest* test = view_.ListRowTest(i);
    if (test == nullptr) {
      continue;
    }
    TestSnapshot snap = backend_.Snapshot(*test);
    running += snap.running ? 1 : 0;
    view_.ListSetText(i, 2, snap.running ? kStatusRunning : kStatusStopped);
    for (int column = kFirstFigureColumn; column < kColumnCount; ++column) {
      view_.ListSetText(i, column, std::to_string(ColumnFigure(snap.stats, column)));
    }
    const VoiceQuality& voice = VoiceOf(*test, snap);
    const Verdict verdict = LiveVerdict(snap, voice);
    unusable += verdict.outcome == Outcome::kUnusable ? 1 : 0;
    for (int column = kFirstVoiceColumn; column < kTableColumnCount; ++column) {
      const VoiceFigure& figure = *ColumnVoiceFigure(column);
      std::string text = VoiceFigureText(figure, voice);
      // The band in words beside the score, so it is never told by colour alone.
      if (column == kBandColumn && *verdict.word != '\0') {
        text += std::string(" ") + verdict.word;
      }
      view_.ListSetText(i, column, text);
    }
    // A silent path is told at once, before the cycle's figures can show it.
    std::string toolTip = EchoSilenceText(snap);
    if (voice.loss.sent > 0) toolTip += (toolTip.empty() ? "" : "\n") + VoiceSummary(voice);
    view_.ListSetBand(i, verdict.band, toolTip);
  }
  const std::optional<SharedInterruption> last = shared_.Last();
  view_.SetControlText(kIdStatusLine,
                       StatusLine(count, running, unusable, lastScan_,
                                  last ? SharedInterruptionStatus(*last) : std::string()));
}

int32_t MainPresenter::CountRunningTests() {
  int32_t running = 0;
  int count = view_.ListRowCount();
  for (int i = 0; i < count; ++i) {
    LoopTest* test = view_.ListRowTest(i);
    if (test != nullptr && backend_.Snapshot(*test).running) {
      ++running;
    }
  }
  return running;
}

void MainPresenter::OnStart() {
  view_.BeginWaitCursor();
  int selected = 0;
  // Counted once, before the walk; each start then adds one, whatever its outcome.
  int32_t running = CountRunningTests();
  for (int row = view_.ListNextSelected(-1); row >= 0; row = view_.ListNextSelected(row)) {
    ++selected;
    LoopTest* test = view_.ListRowTest(row);
    if (test == nullptr || backend_.Snapshot(*test).running) {
      continue;
    }
    if (running >= settings_.maxConcurrentTests) {
      view_.ShowMessage(kMsgTooManyRunning);
      break;
    }
    const FleetPhone phone = FleetPhoneOf(backend_, *test);
    if (!phone.listed) {
      continue;
    }
    if (StartPhoneTest(backend_, phone, settings_.durationMinutes * 60) == StartResult::kStarted) {
      ++running;
    } else {
      view_.ShowMessage(FillMessage(kMsgStartFailed, phone.entry.userName, phone.serial));
    }
  }
  view_.EndWaitCursor();
  if (selected == 0) {
    view_.ShowMessage(kMsgSelectToStart);
  }
}

void MainPresenter::OnStop() {
  view_.BeginWaitCursor();
  int selected = 0;
  for (int row = view_.ListNextSelected(-1); row >= 0; row = view_.ListNextSelected(row)) {
    ++selected;
    LoopTest* test = view_.ListRowTest(row);
    if (test != nullptr && backend_.Snapshot(*test).running) {
      backend_.StopLoopTest(test);
    }
  }
  view_.EndWaitCursor();
  if (selected == 0) {
    view_.ShowMessage(kMsgSelectToStop);
  }
}

void MainPresenter::OnGetLog() {
  view_.BeginWaitCursor();
  int selected = 0;
  for (int row = view_.ListNextSelected(-1); row >= 0; row = view_.ListNextSelected(row)) {
    ++selected;
    LoopTest* test = view_.ListRowTest(row);
    if (test == nullptr) {
      continue;
    }
    const FleetPhone phone = FleetPhoneOf(backend_, *test);
    std::string fileName = LogFileName(phone.entry.userName, phone.serial);
    if (!backend_.GetPhoneLog(phone.entry.scannedAddress, fileName.c_str())) {
      view_.ShowMessage(FillMessage(kMsgLogFailed, phone.entry.userName, phone.serial));
    }
  }
  view_.EndWaitCursor();
  ShowWriteFailures();
  if (selected == 0) {
    view_.ShowMessage(kMsgSelectForLog);
  }
}

void MainPresenter::OnAddPhones() {
  view_.RunAddPhonesDialog();
  std::time_t now = static_cast<std::time_t>(clock_.WallSeconds());
  std::tm local{};
  char hhmm[8] = "";
  if (::localtime_r(&now, &local) != nullptr) std::strftime(hhmm, sizeof hhmm, "%H:%M", &local);
  lastScan_ = hhmm;
  backend_.CreateLoopTestsForPhones();
  FillPhoneList();
  RefreshRows();
}

void MainPresenter::OnCloseWindow() {
  view_.BeginWaitCursor();
  int count = view_.ListRowCount();
  for (int i = 0; i < count; ++i) {
    LoopTest* test = view_.ListRowTest(i);
    if (test != nullptr && backend_.Snapshot(*test).running) {
      backend_.StopLoopTest(test);
    }
  }
  view_.EndWaitCursor();
  view_.EndDialog(kResultOk);
}

}  // namespace pathmon
