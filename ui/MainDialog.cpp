// SPDX-License-Identifier: Apache-2.0
#include "ui/MainDialog.h"

#include <QAction>
#include <QClipboard>
#include <QEvent>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QSettings>
#include <QStatusBar>
#include <QTreeView>
#include <QVBoxLayout>
#include <algorithm>
#include <ctime>
#include <numeric>
#include <string_view>

#include "ui/AboutDialog.h"
#include "ui/AddPhonesDialog.h"
#include "ui/AppIcon.h"
#include "ui/PhoneWindow.h"
#include "frontend/Messages.h"
#include "frontend/SaveReportPresenter.h"
#include "ui/QtSaveReportView.h"

namespace pathmon {

namespace {

constexpr char kGeometryKey[] = "mainWindow/geometry";
constexpr char kColumnWidthsKey[] = "mainWindow/columnWidths";

}  // namespace

QtMainView::QtMainView(MainDialog& dialog, QTreeView& list, PhoneTableModel& model,
                       DiscoveryAccess& discovery)
    : QtDialogView<MainView>(dialog), list_(list), model_(model), discovery_(discovery) {}

int QtMainView::ListRowCount() { return model_.rowCount(); }

LoopTest* QtMainView::ListRowTest(int row) {
  if (row < 0 || row >= model_.rowCount()) return nullptr;
  return model_.Table().Row(row).test;
}

void QtMainView::ListDeleteAllRows() { model_.Clear(); }

bool QtMainView::ListInsertRow(int row, const std::string& text, LoopTest* test) {
  model_.Insert(row, text, test);
  return true;
}

void QtMainView::ListSetText(int row, int column, const std::string& text) {
  model_.SetText(row, column, text);
}

void QtMainView::ListSetBand(int row, Band band, const std::string& toolTip) {
  model_.SetBand(row, band, toolTip);
}

int QtMainView::ListNextSelected(int after) {
  QItemSelectionModel* selection = list_.selectionModel();
  for (int row = after + 1; row < model_.rowCount(); ++row) {
    if (selection->isRowSelected(row, {})) return row;
  }
  return -1;
}

void QtMainView::ListReorder(const std::vector<int>& order) { model_.Reorder(order); }

void QtMainView::ListSetSortIndicator(int column, bool largestFirst) {
  list_.header()->setSortIndicator(column, largestFirst ? Qt::DescendingOrder : Qt::AscendingOrder);
}

void QtMainView::RunAddPhonesDialog() {
  AddPhonesDialog dialog(discovery_);
  dialog.exec();
}

void QtMainView::ShowAboutDialog() {
  AboutDialog about(&dialog_);
  about.exec();
}

MainDialog::MainDialog(MainBackend& backend, DiscoveryAccess& discovery,
                       const ProgramSettings& settings, QWidget* parent)
    : QDialog(parent), backend_(backend) {
  setObjectName("MainDialog");
  setWindowTitle(QString::fromUtf8(kAppTitle));
  setWindowIcon(AppIcon());
  setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowCloseButtonHint);

  model_ = new PhoneTableModel(this);
  model_->SetPalette(palette());
  list_ = new QTreeView(this);
  list_->setObjectName("phoneList");
  list_->setModel(model_);
  list_->setItemDelegate(new TableCellDelegate(list_));
  list_->setRootIsDecorated(false);
  list_->setItemsExpandable(false);
  list_->setUniformRowHeights(true);
  list_->setSelectionMode(QAbstractItemView::ExtendedSelection);
  list_->setSelectionBehavior(QAbstractItemView::SelectRows);
  list_->setAllColumnsShowFocus(true);
  list_->setSortingEnabled(false);  // sorting is the presenter's, by figure
  list_->header()->setStretchLastSection(false);
  list_->header()->setSectionsClickable(true);
  list_->header()->setSortIndicatorShown(true);
  list_->header()->setSortIndicator(-1, Qt::DescendingOrder);
  list_->header()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  SetColumnWidths();

  auto* helpAdd = new QLabel(this);
  helpAdd->setObjectName("helpAdd");
  helpAdd->setWordWrap(true);
  helpAdd->setFixedWidth(210);
  helpAdd->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  auto* add = new QPushButton(tr("Add Farline Phones"), this);
  add->setObjectName("add");
  auto* start = new QPushButton(tr("Start"), this);
  start->setObjectName("start");
  auto* stop = new QPushButton(tr("Stop"), this);
  stop->setObjectName("stop");
  auto* getLog = new QPushButton(tr("Get Log"), this);
  getLog->setObjectName("getLog");
  auto* close = new QPushButton(tr("Close"), this);
  close->setObjectName("close");
  close->setDefault(true);  // Close is the dialog's OK command: Enter closes
  auto* helpFigures = new QLabel(this);
  helpFigures->setObjectName("helpFigures");
  helpFigures->setWordWrap(true);
  helpFigures->setAlignment(Qt::AlignLeft | Qt::AlignTop);

  auto* commands = new QVBoxLayout;
  commands->addSpacing(40);
  commands->addWidget(helpAdd);
  commands->addSpacing(12);
  commands->addWidget(add, 0, Qt::AlignLeft);
  for (QPushButton* button : {start, stop, getLog, close}) {
    button->setFixedWidth(90);
    commands->addWidget(button, 0, Qt::AlignLeft);
  }
  add->setFixedWidth(160);
  commands->addStretch(1);

  listRow_ = new QHBoxLayout;
  listRow_->addWidget(list_, 1);
  listRow_->addSpacing(8);
  listRow_->addLayout(commands);

  auto* statusLine = new QLabel(this);
  statusLine->setObjectName("statusLine");
  auto* statusBar = new QStatusBar(this);
  statusBar->setObjectName("statusBar");
  statusBar->addWidget(statusLine, 1);

  // The units, said once for the whole list rather than in each header.
  std::vector<int> columns(kTableColumnCount);
  std::iota(columns.begin(), columns.end(), 0);
  auto* units = new QLabel(QString::fromStdString(UnitLegend(columns).front()), this);
  units->setObjectName("units");

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(24, 24, 24, 0);
  layout->addLayout(listRow_, 1);
  layout->addWidget(units);
  layout->addSpacing(8);
  layout->addWidget(helpFigures);
  layout->addWidget(statusBar);

  // No system menu on this platform: the About entry lives in the context menu and on F1.
  auto* about = new QAction(QString::fromUtf8(kAboutMenuText), this);
  about->setObjectName("about");
  about->setShortcut(QKeySequence(Qt::Key_F1));
  about->setShortcutContext(Qt::WindowShortcut);
  addAction(about);
  auto* saveReport = new QAction(QString::fromUtf8(kSaveReportMenuText), this);
  saveReport->setObjectName("saveReport");
  addAction(saveReport);
  setContextMenuPolicy(Qt::ActionsContextMenu);

  auto* open = new QAction(tr("Open Phone Window"), list_);
  open->setObjectName("openPhone");
  list_->addAction(open);
  connect(open, &QAction::triggered, this, [this] {
    QModelIndex current = list_->currentIndex();
    if (current.isValid()) OpenPhoneWindow(current.row());
  });
  connect(list_, &QAbstractItemView::doubleClicked, this,
          [this](const QModelIndex& index) { OpenPhoneWindow(index.row()); });
  list_->installEventFilter(this);

  auto* copy = new QAction(tr("Copy"), list_);
  copy->setObjectName("copy");
  copy->setShortcut(QKeySequence::Copy);
  copy->setShortcutContext(Qt::WidgetShortcut);
  list_->addAction(copy);
  list_->addAction(about);
  list_->addAction(saveReport);
  list_->setContextMenuPolicy(Qt::ActionsContextMenu);
  connect(copy, &QAction::triggered, this, [this] { CopySelectedRows(); });

  view_ = std::make_unique<QtMainView>(*this, *list_, *model_, discovery);
  presenter_ = std::make_unique<MainPresenter>(*view_, backend, settings);
  reportView_ = std::make_unique<QtSaveReportView>(
      *this, [this](const std::string& text) { view_->ShowMessage(text); });
  reportPresenter_ = std::make_unique<SaveReportPresenter>(
      *reportView_, backend, settings, [] { return static_cast<int64_t>(std::time(nullptr)); });
  reportPresenter_->SetSharedInterruptions(&presenter_->Shared());
  view_->Bind(kIdHelpAdd, helpAdd);
  view_->Bind(kIdHelpFigures, helpFigures);
  view_->Bind(kIdAddPhones, add);
  view_->Bind(kIdStartTest, start);
  view_->Bind(kIdStopTest, stop);
  view_->Bind(kIdGetLog, getLog);
  view_->Bind(kIdCloseMain, close);
  view_->Bind(kIdPhoneList, list_);
  view_->Bind(kIdStatusLine, statusLine);
  view_->SetTimerHandler([this](int id) { presenter_->OnTimer(id); });

  connect(add, &QPushButton::clicked, this, [this] { presenter_->OnAddPhones(); });
  connect(start, &QPushButton::clicked, this, [this] { presenter_->OnStart(); });
  connect(stop, &QPushButton::clicked, this, [this] { presenter_->OnStop(); });
  connect(getLog, &QPushButton::clicked, this, [this] { presenter_->OnGetLog(); });
  connect(close, &QPushButton::clicked, this, [this] { accept(); });
  connect(about, &QAction::triggered, this, [this] { presenter_->OnAbout(); });
  connect(saveReport, &QAction::triggered, this, [this] { reportPresenter_->OnSaveReport(); });
  connect(list_->header(), &QHeaderView::sectionClicked, this,
          [this](int column) { presenter_->OnColumnClick(column); });

  setTabOrder(list_, add);
  setTabOrder(add, start);
  setTabOrder(start, stop);
  setTabOrder(stop, getLog);
  setTabOrder(getLog, close);

  list_->setFocus();  // the first tab stop has the focus when the window opens
  setMinimumSize(640, 400);
  RestoreSettings();
}

MainDialog::~MainDialog() {
  // The phone windows ask the presenter's worker for their charts: they go before it does.
  for (auto& [serial, window] : phoneWindows_) delete window.data();
}

int MainDialog::exec() {
  presenter_->OnInitDialog();
  return QDialog::exec();
}

void MainDialog::accept() {
  // Every close path stops the running tests first; a second request while they are being
  // stopped (the window is busy) changes nothing.
  if (closing_) return;
  closing_ = true;
  SaveSettings();
  for (auto& [serial, window] : phoneWindows_) {
    if (window != nullptr) window->close();
  }
  presenter_->OnCloseWindow();
  closing_ = false;
}

void MainDialog::reject() { accept(); }

void MainDialog::changeEvent(QEvent* event) {
  if (event->type() == QEvent::PaletteChange && model_ != nullptr) model_->SetPalette(palette());
  QDialog::changeEvent(event);
}

bool MainDialog::eventFilter(QObject* watched, QEvent* event) {
  // Enter on a row of the list opens its phone's window; elsewhere it stays the window's
  // Close, as does Enter on the list without a current row.
  if (watched == list_ && event->type() == QEvent::KeyPress) {
    auto* key = static_cast<QKeyEvent*>(event);
    bool enter = key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter;
    if (enter && key->modifiers() == Qt::NoModifier && list_->currentIndex().isValid()) {
      OpenPhoneWindow(list_->currentIndex().row());
      return true;
    }
  }
  return QDialog::eventFilter(watched, event);
}

PhoneWindow* MainDialog::OpenPhoneWindow(int row) {
  if (row < 0 || row >= model_->rowCount()) return nullptr;
  const TableRow& r = model_->Table().Row(row);
  if (r.test == nullptr) return nullptr;
  std::string serial = r.test->SerialNumber();
  QPointer<PhoneWindow>& window = phoneWindows_[serial];
  if (window == nullptr) {
    // A child of this window: a modal dialog lets its own windows take input.
    window = new PhoneWindow(backend_, presenter_->Voices(), reportPresenter_.get(), r.cells[0],
                             serial, this);
    window->SetSharedInterruptions(&presenter_->Shared());
  }
  window->show();
  window->raise();
  window->activateWindow();
  return window;
}

QString MainDialog::SelectedRowsText() const {
  std::vector<int> rows;
  for (int row = 0; row < model_->rowCount(); ++row) {
    if (list_->selectionModel()->isRowSelected(row, {})) rows.push_back(row);
  }
  return QString::fromStdString(model_->Table().TabSeparated(rows));
}

void MainDialog::CopySelectedRows() {
  if (!list_->selectionModel()->hasSelection()) return;
  QGuiApplication::clipboard()->setText(SelectedRowsText());
}

void MainDialog::SetColumnWidths() {
  // A column's least width fits its header (and the sort mark beside it) and a typical
  // figure, and for the MOS column a score with the longest word its band can give
  // (kBandWords); its nominal width is the list's (kTableColumns), widened to the least.
  auto fits = [this](const QString& text) {
    return list_->fontMetrics().horizontalAdvance(text) + 16;
  };
  nominalWidths_.assign(kTableColumnCount, 0);
  leastWidths_.assign(kTableColumnCount, 0);
  for (int i = 0; i < kTableColumnCount; ++i) {
    const ListColumn& column = kTableColumns[static_cast<std::size_t>(i)];
    int least = fits(QString::fromUtf8(column.header));
    if (const VoiceFigure* voice = ColumnVoiceFigure(i)) {
      // A score ("4.40"), or round trips and jitter in ms ("100.00").
      const bool score = std::string_view(voice->unit) == "MOS";
      least = std::max(least, fits(QString::number(score ? 0 : 100, 'f', voice->decimals)));
    } else if (i >= kFirstFigureColumn) {
      least = std::max(least, fits(QStringLiteral("15000")));  // a cycle's frames
    } else {
      // The user name and the state keep the list's widths; the serial number may give up
      // what a serial of 12 characters does not need.
      least = i == 1 ? std::max(least, fits(QString(12, QChar('0'))))
                     : std::max(least, column.width);
    }
    if (i == kBandColumn) {
      for (const char* word : kBandWords) {
        least = std::max(least, fits(QStringLiteral("0.00 ") + QString::fromUtf8(word)));
      }
    }
    leastWidths_[static_cast<std::size_t>(i)] = least;
    nominalWidths_[static_cast<std::size_t>(i)] = std::max(column.width, least);
    list_->setColumnWidth(i, nominalWidths_[static_cast<std::size_t>(i)]);
  }
}

QSize MainDialog::DefaultSize(QSize room) {
  // The list's frame and a vertical scroll bar beside the columns; the commands' column, the
  // margins and the spacing around, as the layout wants them.
  const QMargins margins = layout()->contentsMargins();
  const int chrome = 2 * list_->frameWidth() + list_->verticalScrollBar()->sizeHint().width() +
                     margins.left() + listRow_->sizeHint().width() - list_->sizeHint().width() +
                     margins.right();
  // When the nominal widths do not fit, each column gives up the same share of what it has
  // beyond its least width, as much as it takes.
  int nominal = 0, spare = 0;
  for (int i = 0; i < kTableColumnCount; ++i) {
    nominal += nominalWidths_[static_cast<std::size_t>(i)];
    spare +=
        nominalWidths_[static_cast<std::size_t>(i)] - leastWidths_[static_cast<std::size_t>(i)];
  }
  const int over = std::clamp(nominal + chrome - room.width(), 0, spare);
  int columns = 0;
  for (int i = 0; i < kTableColumnCount; ++i) {
    const int least = leastWidths_[static_cast<std::size_t>(i)];
    const int extra = nominalWidths_[static_cast<std::size_t>(i)] - least;
    const int width = least + (spare == 0 ? extra : extra - (extra * over + spare - 1) / spare);
    list_->setColumnWidth(i, width);
    columns += width;
  }
  return QSize(columns + chrome, 640).boundedTo(room).expandedTo(minimumSize());
}

void MainDialog::RestoreSettings() {
  QSettings settings;
  if (!restoreGeometry(settings.value(kGeometryKey).toByteArray())) {
    // Within the screen's free area, with room for the window manager's frame.
    QSize room(1600, 1000);
    if (QScreen* screen = this->screen()) room = screen->availableGeometry().size() * 0.95;
    resize(DefaultSize(room));
  }
  QVariantList widths = settings.value(kColumnWidthsKey).toList();
  for (int i = 0; i < std::min<int>(widths.size(), kTableColumnCount); ++i) {
    bool ok = false;
    int width = widths[i].toInt(&ok);
    if (ok && width > 0 && width < 2000) list_->setColumnWidth(i, width);
  }
}

void MainDialog::SaveSettings() const {
  QSettings settings;
  settings.setValue(kGeometryKey, saveGeometry());
  QVariantList widths;
  for (int i = 0; i < kTableColumnCount; ++i) widths.append(list_->columnWidth(i));
  settings.setValue(kColumnWidthsKey, widths);
}

}  // namespace pathmon
