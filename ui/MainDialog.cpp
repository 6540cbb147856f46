#include "ui/MainDialog.h"

#include <QAction>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <ctime>

#include "ui/AboutDialog.h"
#include "ui/AddPhonesDialog.h"
#include "ui/AppIcon.h"
#include "frontend/Messages.h"
#include "frontend/SaveReportPresenter.h"

namespace pathmon {

namespace {

constexpr int kTestRole = Qt::UserRole + 1;

// The save-file dialog of "Save Report…"; messages go through the main window's view.
class QtSaveReportView final : public SaveReportView {
 public:
  QtSaveReportView(QWidget& window, DialogView& messages) : window_(window), messages_(messages) {}
  std::string AskReportPath(const std::string& suggested) override {
    const QString path = QFileDialog::getSaveFileName(
        &window_, QObject::tr("Save Report"), QString::fromStdString(suggested),
        QObject::tr("HTML files (*.html)"));
    return path.toLocal8Bit().toStdString();
  }
  void ShowMessage(const std::string& text) override { messages_.ShowMessage(text); }

 private:
  QWidget& window_;
  DialogView& messages_;
};

}  // namespace

QtMainView::QtMainView(MainDialog& dialog, QTreeWidget& list, DiscoveryAccess& discovery)
    : QtDialogView<MainView>(dialog), list_(list), discovery_(discovery) {}

int QtMainView::ListRowCount() { return list_.topLevelItemCount(); }

LoopTest* QtMainView::ListRowTest(int row) {
  QTreeWidgetItem* item = list_.topLevelItem(row);
  if (item == nullptr) return nullptr;
  return reinterpret_cast<LoopTest*>(item->data(0, kTestRole).value<quintptr>());
}

void QtMainView::ListDeleteAllRows() { list_.clear(); }

bool QtMainView::ListInsertRow(int row, const std::string& text, LoopTest* test) {
  auto* item = new QTreeWidgetItem;
  item->setText(0, QString::fromStdString(text));
  item->setData(0, kTestRole, QVariant::fromValue(reinterpret_cast<quintptr>(test)));
  list_.insertTopLevelItem(std::min(row, list_.topLevelItemCount()), item);
  return true;
}

void QtMainView::ListSetText(int row, int column, const std::string& text) {
  QTreeWidgetItem* item = list_.topLevelItem(row);
  if (item == nullptr) return;
  QString value = QString::fromStdString(text);
  if (item->text(column) != value) item->setText(column, value);
}

int QtMainView::ListNextSelected(int after) {
  for (int row = after + 1; row < list_.topLevelItemCount(); ++row) {
    if (list_.topLevelItem(row)->isSelected()) return row;
  }
  return -1;
}

void QtMainView::ListReorder(const std::vector<int>& order) {
  QTreeWidgetItem* current = list_.currentItem();
  QList<QTreeWidgetItem*> selected = list_.selectedItems();
  QList<QTreeWidgetItem*> items;
  while (list_.topLevelItemCount() > 0) items.append(list_.takeTopLevelItem(0));
  QList<QTreeWidgetItem*> sorted;
  for (int old : order) sorted.append(items.at(old));
  list_.addTopLevelItems(sorted);
  if (current != nullptr) list_.setCurrentItem(current, 0, QItemSelectionModel::NoUpdate);
  for (QTreeWidgetItem* item : selected) item->setSelected(true);
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
    : QDialog(parent) {
  setObjectName("MainDialog");
  setWindowTitle(QString::fromUtf8(kAppTitle));
  setWindowIcon(AppIcon());
  setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowCloseButtonHint);

  list_ = new QTreeWidget(this);
  list_->setObjectName("phoneList");
  list_->setRootIsDecorated(false);
  list_->setItemsExpandable(false);
  list_->setUniformRowHeights(true);
  list_->setSelectionMode(QAbstractItemView::SingleSelection);
  list_->setSelectionBehavior(QAbstractItemView::SelectRows);
  list_->setAllColumnsShowFocus(true);
  list_->setSortingEnabled(false);  // sorting is the presenter's, by figure
  list_->setColumnCount(kColumnCount);
  QStringList headers;
  for (const ListColumn& column : kListColumns) headers << QString::fromUtf8(column.header);
  list_->setHeaderLabels(headers);
  for (int i = 0; i < kColumnCount; ++i) {
    list_->setColumnWidth(i, kListColumns[i].width);
    list_->headerItem()->setTextAlignment(i, Qt::AlignLeft | Qt::AlignVCenter);
  }
  list_->header()->setStretchLastSection(false);
  list_->header()->setSectionsClickable(true);
  list_->header()->setSortIndicatorShown(false);

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

  auto* top = new QHBoxLayout;
  top->addWidget(list_, 1);
  top->addSpacing(8);
  top->addLayout(commands);

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(24, 24, 24, 16);
  layout->addLayout(top, 1);
  layout->addSpacing(8);
  layout->addWidget(helpFigures);

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

  view_ = std::make_unique<QtMainView>(*this, *list_, discovery);
  presenter_ = std::make_unique<MainPresenter>(*view_, backend, settings);
  reportView_ = std::make_unique<QtSaveReportView>(*this, *view_);
  reportPresenter_ = std::make_unique<SaveReportPresenter>(
      *reportView_, backend, settings, [] { return static_cast<int64_t>(std::time(nullptr)); });
  view_->Bind(kIdHelpAdd, helpAdd);
  view_->Bind(kIdHelpFigures, helpFigures);
  view_->Bind(kIdAddPhones, add);
  view_->Bind(kIdStartTest, start);
  view_->Bind(kIdStopTest, stop);
  view_->Bind(kIdGetLog, getLog);
  view_->Bind(kIdCloseMain, close);
  view_->Bind(kIdPhoneList, list_);
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
  resize(1180, 640);
}

MainDialog::~MainDialog() = default;

int MainDialog::exec() {
  presenter_->OnInitDialog();
  return QDialog::exec();
}

void MainDialog::accept() {
  // Every close path stops the running tests first; a second request while they are being
  // stopped (the window is busy) changes nothing.
  if (closing_) return;
  closing_ = true;
  presenter_->OnCloseWindow();
  closing_ = false;
}

void MainDialog::reject() { accept(); }

}  // namespace pathmon
