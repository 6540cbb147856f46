// SPDX-License-Identifier: Apache-2.0
#include "ui/PhoneWindow.h"

#include <QAreaSeries>
#include <QChart>
#include <QChartView>
#include <QDateTimeAxis>
#include <QFile>
#include <QAction>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineSeries>
#include <QListWidget>
#include <QPushButton>
#include <QScatterSeries>
#include <QScreen>
#include <QStackedWidget>
#include <QTabWidget>
#include <QTimer>
#include <QVBoxLayout>
#include <QValueAxis>
#include <algorithm>
#include <cctype>

#include "engine/HistoryFile.h"
#include "frontend/Messages.h"
#include "frontend/SaveReportPresenter.h"
#include "frontend/SharedInterruptionText.h"
#include "frontend/SharedInterruptions.h"
#include "engine/VoiceHistory.h"
#include "frontend/Verdict.h"
#include "ui/MessageBox.h"
#include "ui/QtSaveReportView.h"

namespace pathmon {

namespace {

// The upper line of an area series that draws each span as a block from 0 to its height:
// up at the span's start, across, down at its end.
void AddBlock(QList<QPointF>& line, double from, double to, double height) {
  line << QPointF(from, 0) << QPointF(from, height) << QPointF(to, height) << QPointF(to, 0);
}

QAreaSeries* BlockSeries(const QString& name, const char* objectName, const QColor& color) {
  auto* upper = new QLineSeries;
  auto* area = new QAreaSeries(upper);
  upper->setParent(area);  // an area series does not own its lines
  area->setName(name);
  area->setObjectName(objectName);
  QColor fill = color;
  fill.setAlphaF(0.35f);
  area->setBrush(fill);
  area->setPen(QPen(color, 1));
  return area;
}

QLineSeries* Line(const QString& name, const char* objectName, const QColor& color) {
  auto* line = new QLineSeries;
  line->setName(name);
  line->setObjectName(objectName);
  line->setPen(QPen(color, 2));
  return line;
}

QChart* NewChart(const QString& title) {
  auto* chart = new QChart;
  chart->setTitle(title);
  chart->legend()->setAlignment(Qt::AlignBottom);
  chart->setMargins(QMargins(4, 4, 4, 4));
  return chart;
}

QValueAxis* ValueAxis(const QString& title, double min, double max) {
  auto* axis = new QValueAxis;
  axis->setTitleText(title);
  axis->setRange(min, max);
  return axis;
}

// A MOS axis with a tick at each whole score: more labels are cut to "..." on a small
// chart (a HiDPI screen's window).
void MosTicks(QValueAxis* axis) {
  axis->setTickType(QValueAxis::TicksDynamic);
  axis->setTickAnchor(1);
  axis->setTickInterval(1);
  axis->setLabelFormat("%.1f");
}

void Attach(QChart* chart, QAbstractSeries* series, QAbstractAxis* x, QAbstractAxis* y) {
  chart->addSeries(series);
  series->attachAxis(x);
  series->attachAxis(y);
}

QChartView* ViewOf(QChart* chart, const char* objectName, QWidget* parent) {
  auto* view = new QChartView(chart, parent);
  view->setObjectName(objectName);
  view->setRenderHint(QPainter::Antialiasing);
  view->setMinimumSize(360, 180);
  return view;
}

// The lines of an area series' upper line, replaced at once (one repaint).
void SetBlocks(QAreaSeries* area, const QList<QPointF>& points) { area->upperSeries()->replace(points); }

const QColor kP50Color(40, 110, 200);
const QColor kP95Color(120, 60, 170);
const QColor kLostColor(200, 110, 0);
const QColor kMosColor(30, 140, 60);
const QColor kBandColor(230, 40, 40);

}  // namespace

PhoneWindow::PhoneWindow(MainBackend& backend, VoiceWorker& worker, SaveReportPresenter* report,
                         std::string userName, std::string serialNumber, QWidget* parent)
    : QWidget(parent, Qt::Window),
      backend_(backend),
      worker_(worker),
      report_(report),
      user_(std::move(userName)),
      serial_(std::move(serialNumber)) {
  setObjectName("PhoneWindow");
  setAttribute(Qt::WA_DeleteOnClose);
  setWindowTitle(QString::fromStdString(user_ + ":" + serial_ + " - ") + QString::fromUtf8(kAppTitle));

  tabs_ = new QTabWidget(this);
  tabs_->setObjectName("tabs");
  tabs_->addTab(BuildLiveTab(), tr("Live"));
  tabs_->addTab(BuildHistoryTab(), tr("History"));

  auto* exportPng = new QPushButton(tr("Export Chart..."), this);
  exportPng->setObjectName("exportPng");
  auto* close = new QPushButton(tr("Close"), this);
  close->setObjectName("close");
  connect(exportPng, &QPushButton::clicked, this, [this] { ExportChart(); });
  connect(close, &QPushButton::clicked, this, &QWidget::close);
  auto* closeKey = new QAction(this);
  closeKey->setShortcut(QKeySequence::Close);
  addAction(closeKey);
  connect(closeKey, &QAction::triggered, this, &QWidget::close);

  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  if (report_ != nullptr) {
    reportView_ = std::make_unique<QtSaveReportView>(
        *this, [this](const std::string& text) { ShowWarning(this, QString::fromStdString(text)); });
    auto* saveReport = new QPushButton(QString::fromUtf8(kSaveReportMenuText), this);
    saveReport->setObjectName("saveReport");
    connect(saveReport, &QPushButton::clicked, this,
            [this] { report_->OnSaveReport(reportView_.get()); });
    buttons->addWidget(saveReport);
  }
  buttons->addWidget(exportPng);
  buttons->addWidget(close);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(tabs_, 1);
  layout->addLayout(buttons);

  setMinimumSize(640, 480);
  QSize size(980, 640);
  if (QScreen* screen = parent != nullptr ? parent->screen() : this->screen()) {
    // Within the screen's free area, with room for the window manager's frame.
    size = size.boundedTo(screen->availableGeometry().size() * 0.95).expandedTo(minimumSize());
  }
  resize(size);

  auto* timer = new QTimer(this);
  connect(timer, &QTimer::timeout, this, [this] { Refresh(); });
  timer->start(kPhoneWindowRefreshMs);
  poll_ = new QTimer(this);
  poll_->setInterval(kPhoneWindowPollMs);
  connect(poll_, &QTimer::timeout, this, [this] {
    if (test_ == nullptr || ShowLastChart(*test_)) poll_->stop();
  });
  Refresh();
  LoadHistory();
}

PhoneWindow::~PhoneWindow() {
  if (test_ != nullptr) worker_.ForgetChart(*test_);
}

QWidget* PhoneWindow::BuildLiveTab() {
  auto* tab = new QWidget;
  liveCharts_ = new QWidget(tab);
  liveCharts_->setObjectName("liveCharts");

  rttChart_ = NewChart(tr("Round trip per second"));
  rttX_ = ValueAxis(tr("seconds into the cycle"), 0, 10);
  rttY_ = ValueAxis(tr("ms"), 0, 10);
  rttChart_->addAxis(rttX_, Qt::AlignBottom);
  rttChart_->addAxis(rttY_, Qt::AlignLeft);
  rttBands_ = BlockSeries(tr("interruption"), "rttInterruptions", kBandColor);
  p50_ = Line(tr("p50"), "p50", kP50Color);
  p95_ = Line(tr("p95"), "p95", kP95Color);
  for (QAbstractSeries* s : std::initializer_list<QAbstractSeries*>{rttBands_, p50_, p95_}) {
    Attach(rttChart_, s, rttX_, rttY_);
  }

  lossChart_ = NewChart(tr("Frames lost per second and 10-second scores"));
  lossX_ = ValueAxis(tr("seconds into the cycle"), 0, 10);
  lossY_ = ValueAxis(tr("frames lost"), 0, 50);
  mosY_ = ValueAxis(tr("MOS"), 1, 4.5);
  MosTicks(mosY_);
  lossChart_->addAxis(lossX_, Qt::AlignBottom);
  lossChart_->addAxis(lossY_, Qt::AlignLeft);
  lossChart_->addAxis(mosY_, Qt::AlignRight);
  lossBands_ = BlockSeries(tr("interruption"), "interruptions", kBandColor);
  lost_ = BlockSeries(tr("frames lost"), "lost", kLostColor);
  windowMos_ = Line(tr("window MOS"), "windowMos", kMosColor);
  Attach(lossChart_, lossBands_, lossX_, lossY_);
  Attach(lossChart_, lost_, lossX_, lossY_);
  Attach(lossChart_, windowMos_, lossX_, mosY_);

  auto* charts = new QVBoxLayout(liveCharts_);
  charts->setContentsMargins(0, 0, 0, 0);
  charts->addWidget(ViewOf(rttChart_, "rttChart", liveCharts_), 1);
  charts->addWidget(ViewOf(lossChart_, "lossChart", liveCharts_), 1);

  figures_ = new QLabel(tab);
  figures_->setObjectName("figures");
  figures_->setWordWrap(true);
  figures_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  figures_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  interruptions_ = new QListWidget(tab);
  interruptions_->setObjectName("interruptionList");
  auto* side = new QVBoxLayout;
  side->addWidget(figures_);
  side->addWidget(new QLabel(tr("Interruptions"), tab));
  side->addWidget(interruptions_, 1);
  auto* sideBox = new QWidget(tab);
  sideBox->setLayout(side);
  sideBox->setFixedWidth(300);

  auto* layout = new QHBoxLayout(tab);
  layout->addWidget(liveCharts_, 1);
  layout->addWidget(sideBox);
  return tab;
}

QWidget* PhoneWindow::BuildHistoryTab() {
  auto* tab = new QWidget;
  historyCharts_ = new QWidget(tab);
  historyCharts_->setObjectName("historyCharts");
  historyRttChart_ = NewChart(tr("Round trip per cycle"));
  historyLossChart_ = NewChart(tr("Loss, interruptions and worst score per cycle"));
  historyRttView_ = ViewOf(historyRttChart_, "historyRttChart", historyCharts_);
  historyLossView_ = ViewOf(historyLossChart_, "historyLossChart", historyCharts_);
  for (QChartView* view : {historyRttView_, historyLossView_}) {
    view->setRubberBand(QChartView::HorizontalRubberBand);
  }
  auto* charts = new QVBoxLayout(historyCharts_);
  charts->setContentsMargins(0, 0, 0, 0);
  charts->addWidget(historyRttView_, 1);
  charts->addWidget(historyLossView_, 1);

  // Until the phone has a history, a line that says so in the charts' place: an empty
  // chart would draw a time axis for no time at all.
  historyEmpty_ = new QLabel(tab);
  historyEmpty_->setObjectName("historyEmpty");
  historyEmpty_->setAlignment(Qt::AlignCenter);
  historyEmpty_->setWordWrap(true);
  historyStack_ = new QStackedWidget(tab);
  historyStack_->addWidget(historyCharts_);
  historyStack_->addWidget(historyEmpty_);

  historySource_ = new QLabel(tab);
  historySource_->setObjectName("historySource");
  auto* reset = new QPushButton(tr("Reset Zoom"), tab);
  reset->setObjectName("resetZoom");
  auto* reload = new QPushButton(tr("Reload"), tab);
  reload->setObjectName("reload");
  auto* csv = new QPushButton(tr("Export CSV..."), tab);
  csv->setObjectName("exportCsv");
  connect(reset, &QPushButton::clicked, this, [this] { ResetZoom(); });
  connect(reload, &QPushButton::clicked, this, [this] { LoadHistory(); });
  connect(csv, &QPushButton::clicked, this, [this] { ExportHistory(); });
  auto* row = new QHBoxLayout;
  row->addWidget(historySource_, 1);
  row->addWidget(reset);
  row->addWidget(reload);
  row->addWidget(csv);

  auto* layout = new QVBoxLayout(tab);
  layout->addWidget(historyStack_, 1);
  layout->addLayout(row);
  return tab;
}

void PhoneWindow::Refresh() {
  LoopTest* test = nullptr;
  backend_.ForEachLoopTest([&](int, LoopTest& t) {
    if (test == nullptr && serial_ == t.SerialNumber()) test = &t;
  });
  test_ = test;
  if (test == nullptr) {
    figures_->setText(tr("This phone has no test."));
    return;
  }
  TestSnapshot snap = backend_.Snapshot(*test);
  snapshot_ = snap;
  stateText_ = tr("%1\nSent %2, received %3, lost %4, interruptions %5, average round trip %6 ms")
                   .arg(QString::fromUtf8(snap.running ? kStatusRunning : kStatusStopped))
                   .arg(snap.stats.sent)
                   .arg(snap.stats.received)
                   .arg(snap.stats.lost)
                   .arg(snap.stats.interruptions)
                   .arg(snap.stats.avgRtt);
  figures_->setText(stateText_ + chartText_);
  // The chart asked for now is drawn as soon as it is finished; until then the last one stays.
  worker_.Request(*test, true);
  if (!ShowLastChart(*test)) poll_->start();
}

bool PhoneWindow::ShowLastChart(const LoopTest& test) {
  std::optional<ChartFigures> last = worker_.LastChart(test);
  if (!last || last->number == shownChart_) return false;
  shownChart_ = last->number;
  DrawChart(*last);
  return true;
}

void PhoneWindow::DrawChart(const ChartFigures& figures) {
  live_ = figures.chart;
  const VoiceQuality& voice = figures.voice;
  // Per second while the cycle's frames are there; per window once only its figures are.
  const double width = live_.bucketSeconds;
  const bool perWindow = width > 1;
  QString rttTitle =
      perWindow ? tr("Round trip per 10 seconds, last cycle") : tr("Round trip per second");
  QString lossTitle = perWindow ? tr("Frames lost per 10 seconds and 10-second scores, last cycle")
                                : tr("Frames lost per second and 10-second scores");
  if (rttChart_->title() != rttTitle) rttChart_->setTitle(rttTitle);
  if (lossChart_->title() != lossTitle) lossChart_->setTitle(lossTitle);

  double seconds = perWindow && !live_.windows.empty() ? live_.windows.back().span.toSeconds
                                                       : static_cast<double>(live_.seconds.size());
  seconds = std::max(10.0, seconds);
  QList<QPointF> p50, p95, lost, mos, bands, lossBands;
  double top = 10;
  for (const SecondBucket& b : live_.seconds) {
    const double from = b.second * width;
    // A window's bar ends where the window does: the last one may be short.
    const double to = perWindow && static_cast<std::size_t>(b.second) < live_.windows.size()
                          ? live_.windows[b.second].span.toSeconds
                          : from + width;
    if (b.echoes > 0) {
      // A bucket without an echo has no round trip: its neighbours' line spans it, and the
      // lost frames and interruption band below show why.
      p50 << QPointF((from + to) / 2, b.p50Ms);
      p95 << QPointF((from + to) / 2, b.p95Ms);
      top = std::max(top, b.p95Ms);
    }
    if (b.lost > 0) AddBlock(lost, from, to, b.lost);
  }
  for (const WindowStep& w : live_.windows) {
    mos << QPointF(w.span.fromSeconds, w.mos) << QPointF(w.span.toSeconds, w.mos);
  }
  rttY_->setRange(0, top * 1.1);
  rttY_->applyNiceNumbers();
  // A second holds 50 frames, the axis' height; a window 500, and the axis follows its
  // highest bar.
  double lostTop = 50;
  if (perWindow) {
    for (const SecondBucket& b : live_.seconds) lostTop = std::max(lostTop, b.lost * 1.1);
  }
  lossY_->setRange(0, lostTop);
  if (perWindow) lossY_->applyNiceNumbers();
  for (const InterruptionBand& band : live_.interruptions) {
    // At least a fifth of a second wide, so a short one still shows at a 5-minute scale.
    double to = std::max(band.span.toSeconds, band.span.fromSeconds + 0.2);
    AddBlock(bands, band.span.fromSeconds, to, rttY_->max());
    AddBlock(lossBands, band.span.fromSeconds, to, lossY_->max());
  }
  rttX_->setRange(0, seconds);
  lossX_->setRange(0, seconds);
  p50_->replace(p50);
  p95_->replace(p95);
  SetBlocks(rttBands_, bands);
  SetBlocks(lossBands_, lossBands);
  SetBlocks(lost_, lost);
  windowMos_->replace(mos);

  chartText_.clear();
  // The cycle's verdict, as its row in the main window has it.
  std::string verdict = LiveVerdict(snapshot_, voice).Summary();
  verdict[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(verdict[0])));
  chartText_ += "\n" + QString::fromStdString(verdict);
  if (perWindow) chartText_ += "\n\n" + tr("The test has ended: its last cycle, per 10 seconds.");
  if (voice.loss.sent > 0) {
    VoiceQuality shown = voice;
    shown.interruptions.clear();  // listed below
    chartText_ += "\n\n" + QString::fromStdString(VoiceSummary(shown));
  }
  figures_->setText(stateText_ + chartText_);
  QStringList items;
  for (const InterruptionSpan& span : voice.interruptions) {
    std::string item = InterruptionText(span);
    if (const auto scope = shared_ != nullptr ? shared_->ScopeOf(serial_, span) : std::nullopt) {
      // On a line of its own: the list is narrow beside the charts.
      item += std::string("\n    seen together: ") + SharedScopeWords(*scope);
    }
    items << QString::fromStdString(item);
  }
  QStringList shownItems;
  for (int i = 0; i < interruptions_->count(); ++i) shownItems << interruptions_->item(i)->text();
  if (items != shownItems) {
    interruptions_->clear();
    interruptions_->addItems(items);
  }
}

void PhoneWindow::LoadHistory() {
  history_ = ReadPhoneHistory(VoiceHistoryFileName(user_, serial_), HistoryFileName(user_, serial_));
  for (QChart* chart : {historyRttChart_, historyLossChart_}) {
    chart->removeAllSeries();
    for (QAbstractAxis* axis : chart->axes()) {
      chart->removeAxis(axis);
      delete axis;
    }
  }
  historyStack_->setCurrentWidget(history_.points.empty() ? historyEmpty_ : historyCharts_);
  if (history_.points.empty()) {
    historySource_->clear();  // the charts' place says it
    historyEmpty_->setText(
        tr("No history yet for this phone.\n\nEach test cycle it completes adds a point here, "
           "from %1 in the folder the program was started in.")
            .arg(QString::fromStdString(VoiceHistoryFileName(user_, serial_))));
    return;
  }
  historySource_->setText(
      tr("%1 cycles from %2%3")
          .arg(history_.points.size())
          .arg(QString::fromStdString(history_.voice ? VoiceHistoryFileName(user_, serial_)
                                                     : HistoryFileName(user_, serial_)))
          .arg(history_.skippedLines > 0
                   ? tr(", %1 unreadable lines skipped").arg(history_.skippedLines)
                   : QString()));

  auto timeAxis = [] {
    auto* axis = new QDateTimeAxis;
    axis->setFormat("dd MMM HH:mm");  // shown in local time
    axis->setTickCount(6);
    return axis;
  };
  QDateTimeAxis* rttX = timeAxis();
  QDateTimeAxis* lossX = timeAxis();
  double rttTop = 10;
  double lossTop = 1;
  auto* mean = Line(tr("mean round trip (ms)"), "historyMean", kP50Color);
  auto* p95 = Line(tr("p95 round trip (ms)"), "historyP95", kP95Color);
  auto* loss = Line(tr("loss %"), "historyLoss", kLostColor);
  auto* interruptions = new QScatterSeries;
  interruptions->setName(tr("interruptions"));
  interruptions->setObjectName("historyInterruptions");
  interruptions->setMarkerSize(9);
  interruptions->setColor(kBandColor);
  auto* worst = Line(tr("worst window MOS"), "historyWorstMos", kMosColor);
  qint64 first = 0, last = 0;
  for (const HistoryPoint& p : history_.points) {
    double x = static_cast<double>(p.epochSeconds) * 1000.0;
    if (first == 0 || p.epochSeconds * 1000 < first) first = p.epochSeconds * 1000;
    last = std::max<qint64>(last, p.epochSeconds * 1000);
    mean->append(x, p.meanRttMs);
    rttTop = std::max(rttTop, p.meanRttMs);
    if (p.p95RttMs) {
      p95->append(x, *p.p95RttMs);
      rttTop = std::max(rttTop, *p.p95RttMs);
    }
    loss->append(x, p.lossPercent);
    if (p.interruptions > 0) interruptions->append(x, p.interruptions);
    lossTop = std::max({lossTop, p.lossPercent, static_cast<double>(p.interruptions)});
    if (p.worstMos) worst->append(x, *p.worstMos);
  }
  if (last <= first) last = first + 3600 * 1000;  // one point: an hour around it
  for (QDateTimeAxis* axis : {rttX, lossX}) {
    axis->setRange(QDateTime::fromMSecsSinceEpoch(first), QDateTime::fromMSecsSinceEpoch(last));
  }
  auto* rttY = ValueAxis(tr("ms"), 0, rttTop * 1.1);
  rttY->applyNiceNumbers();
  auto* lossY = ValueAxis(tr("loss %, count"), 0, lossTop * 1.1);
  lossY->applyNiceNumbers();
  auto* mosY = ValueAxis(tr("MOS"), 1, 4.5);
  MosTicks(mosY);
  historyRttChart_->addAxis(rttX, Qt::AlignBottom);
  historyRttChart_->addAxis(rttY, Qt::AlignLeft);
  historyLossChart_->addAxis(lossX, Qt::AlignBottom);
  historyLossChart_->addAxis(lossY, Qt::AlignLeft);
  historyLossChart_->addAxis(mosY, Qt::AlignRight);
  Attach(historyRttChart_, mean, rttX, rttY);
  if (history_.voice) {
    Attach(historyRttChart_, p95, rttX, rttY);
  } else {
    delete p95;  // the history file has no percentiles
  }
  // Drawn in the order added: the interruptions' markers last, over the lines.
  Attach(historyLossChart_, loss, lossX, lossY);
  if (history_.voice) {
    Attach(historyLossChart_, worst, lossX, mosY);
  } else {
    delete worst;
  }
  Attach(historyLossChart_, interruptions, lossX, lossY);
  // A rubber band on either chart zooms both to the same span of time.
  auto follow = [this](QDateTimeAxis* other) {
    return [this, other](const QDateTime& min, const QDateTime& max) {
      if (syncingZoom_) return;
      syncingZoom_ = true;
      other->setRange(min, max);
      syncingZoom_ = false;
    };
  };
  connect(rttX, &QDateTimeAxis::rangeChanged, this, follow(lossX));
  connect(lossX, &QDateTimeAxis::rangeChanged, this, follow(rttX));
}

void PhoneWindow::ResetZoom() {
  syncingZoom_ = true;
  historyRttChart_->zoomReset();
  historyLossChart_->zoomReset();
  syncingZoom_ = false;
}

bool PhoneWindow::ExportChartPng(const QString& path) {
  QWidget* charts = tabs_->currentIndex() == 0 ? liveCharts_ : historyStack_->currentWidget();
  return charts->grab().save(path, "PNG");
}

bool PhoneWindow::ExportHistoryCsv(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) return false;
  QByteArray text = QByteArray::fromStdString(HistoryCsv(history_));
  return file.write(text) == text.size() && file.flush();
}

void PhoneWindow::ExportChart() {
  QString suggested = QString::fromStdString(SafeFileName(user_ + "_" + serial_)) +
                      (tabs_->currentIndex() == 0 ? "_live.png" : "_history.png");
  QString path = QFileDialog::getSaveFileName(this, tr("Export Chart"), suggested, tr("PNG images (*.png)"));
  if (path.isEmpty()) return;
  if (!ExportChartPng(path)) ShowWarning(this, tr("Cannot write %1").arg(path));
}

void PhoneWindow::ExportHistory() {
  QString suggested = QString::fromStdString(SafeFileName(user_ + "_" + serial_ + "_history.csv"));
  QString path = QFileDialog::getSaveFileName(this, tr("Export History"), suggested, tr("CSV files (*.csv)"));
  if (path.isEmpty()) return;
  if (!ExportHistoryCsv(path)) ShowWarning(this, tr("Cannot write %1").arg(path));
}

}  // namespace pathmon
