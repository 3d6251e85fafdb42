// SPDX-License-Identifier: GPL-3.0-or-later
#include "batchoptions.h"
#include "batch_install.h"
#include "verify.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QSpinBox>

BatchOptions::BatchOptions(QWidget *parent) : QDialog(parent)
{
    setWindowTitle(tr("Batch options"));
    auto *layout = new QFormLayout(this);
    parallel = new QSpinBox(this);
    parallel->setObjectName("parallelUploads");
    parallel->setRange(1, MAX_PARALLEL_UPLOADS);
    parallel->setValue(DEFAULT_PARALLEL_UPLOADS);
    layout->addRow(tr("Uploads at once:"), parallel);
    verify = new QSpinBox(this);
    verify->setObjectName("verifySeconds");
    verify->setRange(1, 3600);
    verify->setValue(DEFAULT_VERIFY_DEADLINE_MS / 1000);
    verify->setSuffix(tr(" s"));
    verify->setToolTip(tr("After an upload, how long the device has to answer again; it is "
                          "asked every %1 s")
                           .arg(DEFAULT_VERIFY_INTERVAL_MS / 1000));
    layout->addRow(tr("Wait for devices to come back:"), verify);
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    layout->addRow(buttons);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
}
