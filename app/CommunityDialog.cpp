// SPDX-License-Identifier: Apache-2.0
#include "app/CommunityDialog.h"

#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "discovery/PhoneListMgr.h"
#include "ui/AppIcon.h"
#include "frontend/Messages.h"
#include "transport/Dscp.h"

namespace pathmon {

CommunityDialog::CommunityDialog(ProgramSettings& settings,
                                 std::function<void(const char*)> setCommunity, QWidget* parent)
    : QDialog(parent), view_(*this), presenter_(view_, settings, std::move(setCommunity)) {
  setObjectName("CommunityDialog");
  setWindowTitle(QString::fromUtf8(kAppTitle));
  setWindowIcon(AppIcon());

  auto* ok = new QPushButton(tr("OK"), this);
  ok->setObjectName("ok");
  ok->setDefault(true);
  auto* cancel = new QPushButton(tr("Cancel"), this);
  cancel->setObjectName("cancel");
  auto* help = new QLabel(this);
  help->setObjectName("help");
  help->setWordWrap(true);
  help->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  auto* community = new QLineEdit(this);
  community->setObjectName("community");
  // The directory holds at most 255 characters; the box takes no more.
  community->setMaxLength(kCommunityMax);
  community->setFixedWidth(200);
  auto* duration = new QLineEdit(this);
  duration->setObjectName("duration");
  duration->setFixedWidth(80);
  auto* durationLabel = new QLabel(QString::fromUtf8(kDurationLabel), this);
  auto* dscp = new QComboBox(this);
  dscp->setObjectName("dscp");
  dscp->setEditable(true);  // a number from 0 to 63 too
  for (const DscpName& known : kDscpNames) dscp->addItem(QString::fromUtf8(known.name));
  dscp->setFixedWidth(80);
  auto* dscpLabel = new QLabel(QString::fromUtf8(kDscpLabel), this);

  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(cancel);
  buttons->addSpacing(40);
  buttons->addWidget(ok);

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(48, 24, 32, 18);
  layout->setSpacing(10);
  layout->addWidget(help);
  layout->addWidget(community, 0, Qt::AlignLeft);
  layout->addSpacing(12);
  layout->addWidget(durationLabel);
  layout->addWidget(duration, 0, Qt::AlignLeft);
  layout->addSpacing(12);
  layout->addWidget(dscpLabel);
  layout->addWidget(dscp, 0, Qt::AlignLeft);
  layout->addStretch(1);
  layout->addLayout(buttons);

  // The template's order is the tab order: OK, Cancel, the community, the duration.
  setTabOrder(ok, cancel);
  setTabOrder(cancel, community);
  setTabOrder(community, duration);
  setTabOrder(duration, dscp);  // beside the template's controls, after them

  view_.Bind(kIdCommunity, community);
  view_.Bind(kIdCommunityHelp, help);
  view_.Bind(kIdDuration, duration);
  view_.Bind(kIdDscp, dscp);
  connect(ok, &QPushButton::clicked, this, [this] { accept(); });
  connect(cancel, &QPushButton::clicked, this, [this] { reject(); });

  ok->setFocus();  // the first tab stop has the focus when the dialog opens
  setMinimumWidth(640);
  resize(660, 440);
}

CommunityDialog::~CommunityDialog() = default;

int CommunityDialog::exec() {
  presenter_.OnInitDialog();
  return QDialog::exec();
}

void CommunityDialog::accept() { presenter_.OnOK(); }

}  // namespace pathmon
