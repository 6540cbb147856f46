// SPDX-License-Identifier: Apache-2.0
#pragma once
// A phone's own window, beside the main window and not modal: its running cycle charted live
// every 2 seconds (round trip per second as p50 and p95, frames lost per second, the
// 10-second window scores, interruptions as bands) with the cycle's figures and interruptions
// beside the charts, and its history over days from the files in the current directory.
// A test that ended and kept only its last cycle's figures is charted per 10-second window.
// The charts' figures come from frontend/VoiceChart.h and frontend/HistorySeries.h, assessed
// on the main window's VoiceWorker.

#include <QDateTime>
#include <QWidget>
#include <memory>
#include <string>

#include "frontend/Backend.h"
#include "frontend/HistorySeries.h"
#include "frontend/VoiceChart.h"
#include "frontend/VoiceWorker.h"

class QAreaSeries;
class QChart;
class QChartView;
class QDateTimeAxis;
class QLabel;
class QLineSeries;
class QListWidget;
class QStackedWidget;
class QTabWidget;
class QTimer;
class QValueAxis;

namespace pathmon {

class SaveReportPresenter;
class SaveReportView;
class SharedInterruptions;

inline constexpr int kPhoneWindowRefreshMs = 2000;
// How often a refresh looks for the chart it asked for, until it is there.
inline constexpr int kPhoneWindowPollMs = 100;

// Contract: user-interface thread only. It holds the phone's serial number, not its test:
// every refresh finds the test in the registry again, so a window outlives a list rebuild.
// The worker and the report presenter (nullptr: no "Save Report…") outlive the window.
class PhoneWindow final : public QWidget {
  Q_OBJECT

 public:
  PhoneWindow(MainBackend& backend, VoiceWorker& worker, SaveReportPresenter* report,
              std::string userName, std::string serialNumber, QWidget* parent = nullptr);
  ~PhoneWindow() override;

  const std::string& SerialNumber() const { return serial_; }
  // The session's interruptions seen together: the interruption list marks each span of the
  // phone that belongs to one with its scope. It must outlive the window; nullptr: none.
  void SetSharedInterruptions(const SharedInterruptions* shared) { shared_ = shared; }
  // Reads the test's state, asks the worker for its chart and draws the last finished one;
  // the timer calls it.
  void Refresh();
  // Reads the history files again and redraws the history charts.
  void LoadHistory();
  const LiveChart& Live() const { return live_; }
  const HistorySeries& History() const { return history_; }

  // The shown tab's charts as a PNG; the history as CSV. False when the file failed.
  bool ExportChartPng(const QString& path);
  bool ExportHistoryCsv(const QString& path);

 private:
  QWidget* BuildLiveTab();
  // Draws the worker's last chart of test when it is newer than the one shown; false when
  // there is none newer.
  bool ShowLastChart(const LoopTest& test);
  void DrawChart(const ChartFigures& figures);
  QWidget* BuildHistoryTab();
  void ExportChart();
  void ExportHistory();
  void ResetZoom();

  MainBackend& backend_;
  VoiceWorker& worker_;
  SaveReportPresenter* report_;
  const SharedInterruptions* shared_ = nullptr;
  std::unique_ptr<SaveReportView> reportView_;
  const LoopTest* test_ = nullptr;  // the phone's test as last found; only compared
  uint64_t shownChart_ = 0;         // the number of the chart shown; 0 before the first
  QTimer* poll_ = nullptr;
  TestSnapshot snapshot_;  // as the last refresh read it, for the verdict beside the chart
  QString stateText_;  // the test's state and counts, above the chart's figures
  QString chartText_;
  std::string user_;
  std::string serial_;
  LiveChart live_;
  HistorySeries history_;

  QTabWidget* tabs_ = nullptr;
  QWidget* liveCharts_ = nullptr;
  QWidget* historyCharts_ = nullptr;
  QLabel* figures_ = nullptr;
  QListWidget* interruptions_ = nullptr;
  QLabel* historySource_ = nullptr;
  QStackedWidget* historyStack_ = nullptr;  // the charts, or historyEmpty_ without a history
  QLabel* historyEmpty_ = nullptr;

  // Live: round trip over seconds; lost frames and window scores over the same seconds.
  QChart* rttChart_ = nullptr;
  QValueAxis* rttX_ = nullptr;
  QValueAxis* rttY_ = nullptr;
  QLineSeries* p50_ = nullptr;
  QLineSeries* p95_ = nullptr;
  QAreaSeries* rttBands_ = nullptr;
  QChart* lossChart_ = nullptr;
  QValueAxis* lossX_ = nullptr;
  QValueAxis* lossY_ = nullptr;
  QValueAxis* mosY_ = nullptr;
  QAreaSeries* lost_ = nullptr;
  QLineSeries* windowMos_ = nullptr;
  QAreaSeries* lossBands_ = nullptr;

  // History: round trips; loss, interruptions and worst score; on local time.
  QChart* historyRttChart_ = nullptr;
  QChart* historyLossChart_ = nullptr;
  QChartView* historyRttView_ = nullptr;
  QChartView* historyLossView_ = nullptr;
  bool syncingZoom_ = false;
};

}  // namespace pathmon
