// SPDX-License-Identifier: Apache-2.0
#include "ui/AboutDialog.h"

#include <QGridLayout>
#include <QLabel>
#include <QPushButton>

#include "ui/AppIcon.h"
#include "frontend/Messages.h"

namespace pathmon {

AboutDialog::AboutDialog(QWidget* parent) : QDialog(parent) {
  setObjectName("AboutDialog");
  setWindowTitle(QString::fromUtf8(kAboutTitle));
  setWindowIcon(AppIcon());

  auto* icon = new QLabel(this);
  icon->setPixmap(AppIcon().pixmap(32, 32));
  auto* version = new QLabel(QString::fromUtf8(kAboutVersionLine), this);
  auto* ok = new QPushButton(tr("OK"), this);
  ok->setObjectName("ok");
  ok->setDefault(true);
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);

  auto* layout = new QGridLayout(this);
  layout->setContentsMargins(16, 12, 12, 12);
  layout->setHorizontalSpacing(16);
  layout->addWidget(icon, 0, 0, 2, 1, Qt::AlignTop);
  layout->addWidget(version, 0, 1, Qt::AlignTop);
  layout->addWidget(ok, 0, 2, Qt::AlignTop);
  layout->setRowStretch(1, 1);
  layout->setColumnStretch(1, 1);
  setFixedSize(sizeHint().expandedTo(QSize(350, 90)));
}

}  // namespace pathmon
