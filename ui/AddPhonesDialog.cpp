// SPDX-License-Identifier: Apache-2.0
#include "ui/AddPhonesDialog.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

#include "ui/AppIcon.h"
#include "frontend/Messages.h"

namespace pathmon {

namespace {

QLineEdit* CountBox(QWidget* parent, const char* name) {
  auto* box = new QLineEdit(parent);
  box->setObjectName(name);
  box->setReadOnly(true);
  box->setFocusPolicy(Qt::ClickFocus);
  box->setFixedWidth(60);
  box->setAlignment(Qt::AlignLeft);
  return box;
}

}  // namespace

AddPhonesDialog::AddPhonesDialog(DiscoveryAccess& discovery, QWidget* parent)
    : QDialog(parent), view_(*this), presenter_(view_, discovery) {
  setObjectName("AddPhonesDialog");
  setWindowTitle(QString::fromUtf8(kAppTitle));
  setWindowIcon(AppIcon());
  // A caption without a close box: a running scan cannot be abandoned.
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint);

  auto* start = new QPushButton(tr("Start"), this);
  start->setObjectName("start");
  start->setDefault(true);
  close_ = new QPushButton(tr("Close"), this);
  close_->setObjectName("close");
  auto* first = new QLineEdit(this);
  first->setObjectName("startAddress");
  auto* last = new QLineEdit(this);
  last->setObjectName("endAddress");
  for (QLineEdit* edit : {first, last}) edit->setFixedWidth(180);
  auto* progress = new QProgressBar(this);
  progress->setObjectName("progress");
  progress->setTextVisible(false);
  progress->setRange(0, 100);
  progress->setValue(0);
  auto* discovered = CountBox(this, "discovered");
  auto* help = new QLabel(this);
  help->setObjectName("help");
  help->setWordWrap(true);
  auto* scanned = CountBox(this, "scanned");
  auto* remaining = CountBox(this, "remaining");

  auto* form = new QGridLayout;
  form->setHorizontalSpacing(12);
  form->addWidget(new QLabel(tr("Starting IP Address :"), this), 0, 0);
  form->addWidget(first, 0, 1);
  form->addWidget(new QLabel(tr("Ending IP Address:"), this), 1, 0);
  form->addWidget(last, 1, 1);
  form->setColumnStretch(2, 1);

  auto* counts = new QGridLayout;
  counts->setHorizontalSpacing(12);
  counts->addWidget(new QLabel(tr("Farline phones discovered :"), this), 0, 0);
  counts->addWidget(discovered, 0, 1);
  counts->addWidget(new QLabel(tr("IP addresses scanned so far :"), this), 1, 0);
  counts->addWidget(scanned, 1, 1);
  counts->addWidget(new QLabel(tr("IP addresses remaining :"), this), 2, 0);
  counts->addWidget(remaining, 2, 1);
  counts->setColumnStretch(2, 1);

  auto* buttons = new QVBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(start);
  buttons->addSpacing(24);
  buttons->addWidget(close_);

  auto* bottom = new QHBoxLayout;
  bottom->addLayout(counts, 1);
  bottom->addLayout(buttons);

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(24, 18, 24, 18);
  layout->setSpacing(12);
  layout->addWidget(help);
  layout->addSpacing(8);
  layout->addLayout(form);
  layout->addSpacing(8);
  layout->addWidget(progress);
  layout->addLayout(bottom);

  // The template's order is the tab order: Start, Close, then the two address boxes.
  setTabOrder(start, close_);
  setTabOrder(close_, first);
  setTabOrder(first, last);

  view_.Bind(kIdScanStart, start);
  view_.Bind(kIdScanClose, close_);
  view_.Bind(kIdStartAddress, first);
  view_.Bind(kIdEndAddress, last);
  view_.Bind(kIdDiscovered, discovered);
  view_.Bind(kIdAddPhonesHelp, help);
  view_.Bind(kIdScanned, scanned);
  view_.Bind(kIdRemaining, remaining);
  view_.BindProgress(progress);
  view_.SetTimerHandler([this](int id) { presenter_.OnTimer(id); });

  connect(start, &QPushButton::clicked, this, [this] { presenter_.OnStart(); });
  connect(close_, &QPushButton::clicked, this, [this] { QDialog::done(kResultCancel); });

  start->setFocus();  // the first tab stop has the focus when the dialog opens
  resize(720, 380);
}

AddPhonesDialog::~AddPhonesDialog() = default;

int AddPhonesDialog::exec() {
  presenter_.OnInitDialog();
  return QDialog::exec();
}

void AddPhonesDialog::reject() {
  if (close_->isEnabled()) {
    QDialog::done(kResultCancel);
  }
}

}  // namespace pathmon
