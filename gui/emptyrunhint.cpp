// SPDX-License-Identifier: GPL-3.0-or-later
#include "emptyrunhint.h"
#include "doctor.h"
#include "qhostview.h"

#include <QDialog>
#include <QDialogButtonBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QThread>
#include <QVBoxLayout>

EmptyRunHint::EmptyRunHint(QHostView *list, QLabel *statusLine, QPushButton *details,
                           QWidget *parent)
    : QObject(parent), list(list), statusLine(statusLine), details(details), window(parent)
{
    details->hide();
    connect(list, &QHostView::refresh_done, this, &EmptyRunHint::runEnded);
    connect(list, &QHostView::busyChanged, details, [details](bool busy) {
        if (busy)
            details->hide();
    });
    connect(details, &QPushButton::clicked, this, &EmptyRunHint::showReport);
}

EmptyRunHint::~EmptyRunHint()
{
    // The checks give up on nft at once when asked to.
    if (checks != nullptr) {
        checks->requestInterruption();
        checks->wait();
    }
}

void EmptyRunHint::runEnded(int rows)
{
    // A cancelled run, or one that another follows, explains itself.
    if (rows > 0 || list->isBusy() || list->wasCancelled() || checks != nullptr)
        return;
    // The checks look at the port and targets the run used.
    DoctorOptions options;
    options.source_port = list->reach().sourcePort;
    options.targets = list->reach().targets;
    // nft is a program of its own, so the checks never run on the GUI thread.
    checks = QThread::create([this, options]() mutable {
        options.stop = [] { return QThread::currentThread()->isInterruptionRequested(); };
        const std::vector<DoctorLine> lines = run_doctor(options);
        QStringList text;
        for (const DoctorLine &line : lines)
            text << QString::fromStdString(doctor_line_text(line));
        const QString reason = QString::fromStdString(doctor_likely_reason(lines));
        QMetaObject::invokeMethod(
            this, [this, reason, text] { take(reason, text); }, Qt::QueuedConnection);
    });
    connect(checks, &QThread::finished, this, [this] {
        checks->deleteLater();
        checks = nullptr;
    });
    checks->start();
}

void EmptyRunHint::take(const QString &reason, const QStringList &lines)
{
    if (list->isBusy())
        return; // a new run has started meanwhile
    report = lines;
    // What to do comes after the first ';', in the details.
    statusLine->setText(reason.isEmpty()
                            ? tr("No device answered; no check found anything in the way")
                            : tr("No device answered: %1").arg(reason.section(';', 0, 0)));
    details->show();
}

void EmptyRunHint::showReport()
{
    auto *dialog = new QDialog(window);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowTitle(tr("Why no device answered"));
    auto *layout = new QVBoxLayout(dialog);
    auto *text = new QPlainTextEdit(report.join('\n'), dialog);
    text->setObjectName("doctorReport");
    text->setReadOnly(true);
    text->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    layout->addWidget(text);
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Close, dialog);
    connect(buttons, &QDialogButtonBox::rejected, dialog, &QDialog::reject);
    layout->addWidget(buttons);
    dialog->resize(700, 300);
    dialog->open();
}
