// SPDX-License-Identifier: GPL-3.0-or-later
#include "firmwareupdate.h"
#include "batchupload.h"
#include "checks.h"
#include "fleetlist.h"
#include "hostitem.h"
#include "installdialog.h"
#include "qhostview.h"
#include "setuprequest.h"
#include "sighting.h"

#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <cstring>

namespace
{

constexpr int PROGRESS_MS = 100;
constexpr double MIB = 1024.0 * 1024.0;

QString amount(quint64 sent, quint64 total)
{
    if (total >= MIB)
        return FirmwareUpdate::tr("%1 of %2 MiB")
            .arg(double(sent) / MIB, 0, 'f', 1)
            .arg(double(total) / MIB, 0, 'f', 1);
    return FirmwareUpdate::tr("%1 %").arg(total == 0 ? 0 : sent * 100 / total);
}

QString outcome_text(const ExchangeReport &report)
{
    switch (report.stage) {
    case STAGE_DONE:
        return FirmwareUpdate::tr("done");
    case STAGE_REFUSED:
        return FirmwareUpdate::tr("refused: %1").arg(describe_install(report));
    case STAGE_CANCELLED:
        if (report.image_size == 0)
            return FirmwareUpdate::tr("aborted");
        return FirmwareUpdate::tr("aborted after %1").arg(amount(report.acked, report.image_size));
    default:
        return FirmwareUpdate::tr("failed: %1").arg(describe_install(report));
    }
}

QString firmware_text(const DiscoverEntry &entry)
{
    return QString::fromLatin1(entry.firmware, strnlen(entry.firmware, sizeof(entry.firmware)));
}

} // namespace

FirmwareUpdate::FirmwareUpdate(QHostView *list, InstallDialog *setupDialog, QWidget *parent)
    : QWidget(parent), list(list), setupDialog(setupDialog)
{
    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(4, 2, 4, 2);
    summaryLine = new QLabel(this);
    summaryLine->setObjectName("batchSummary");
    layout->addWidget(summaryLine, 1);
    stopButton = new QPushButton(tr("Stop"), this);
    stopButton->setObjectName("stopBatch");
    layout->addWidget(stopButton);
    retryButton = new QPushButton(tr("Retry failed"), this);
    retryButton->setObjectName("retryFailed");
    layout->addWidget(retryButton);
    auto *hideButton = new QPushButton(tr("Hide"), this);
    layout->addWidget(hideButton);
    hide();

    connect(stopButton, &QPushButton::clicked, this, &FirmwareUpdate::askStop);
    connect(retryButton, &QPushButton::clicked, this, &FirmwareUpdate::retryFailed);
    connect(hideButton, &QPushButton::clicked, this, &QWidget::hide);
    connect(this, &FirmwareUpdate::runningChanged, hideButton, &QPushButton::setDisabled);
    connect(list, &QHostView::busyChanged, this, &FirmwareUpdate::refresh);
    connect(list, &QHostView::heldChanged, this, &FirmwareUpdate::refresh);
    progressTimer.setInterval(PROGRESS_MS);
    connect(&progressTimer, &QTimer::timeout, this, &FirmwareUpdate::showProgress);
}

FirmwareUpdate::~FirmwareUpdate() = default;

void FirmwareUpdate::chooseImage()
{
    if (chooser == nullptr) {
        chooser = new QFileDialog(window(), tr("Image for the selected devices"));
        chooser->setFileMode(QFileDialog::ExistingFile);
        connect(chooser, &QFileDialog::fileSelected, this, [this](const QString &path) {
            if (setupDialog != nullptr)
                setupDialog->setImageFolder(QFileInfo(path).absolutePath());
            updateFirmware(path);
        });
    }
    if (setupDialog != nullptr)
        chooser->setDirectory(setupDialog->imageFolder());
    chooser->open();
}

void FirmwareUpdate::updateFirmware(const QString &path)
{
    if (running || list == nullptr)
        return;
    if (list->isBusy() || list->isHeld()) {
        emit statusMessage(tr("Update not started: wait for the run under way to end"));
        return;
    }
    const QList<HostItem *> rows = list->selectedRows();
    if (rows.isEmpty()) {
        emit statusMessage(tr("Select the devices to update first"));
        return;
    }
    image = path;
    if (imageUsable())
        start(group_by_mac(rows));
}

// Checked without blocking: a FIFO chosen by mistake must not hang the window.
bool FirmwareUpdate::imageUsable()
{
    int error = 0;
    const ImageProblem problem = check_image(QFile::encodeName(image).constData(), &error);
    if (problem == IMAGE_OK)
        return true;
    emit statusMessage(
        tr("Update not started: %1: %2%3")
            .arg(image, QString::fromLatin1(image_problem_text(problem)),
                 error != 0 ? ": " + QString::fromLocal8Bit(strerror(error)) : QString()));
    return false;
}

void FirmwareUpdate::retryFailed()
{
    if (running || list == nullptr || list->isBusy() || list->isHeld())
        return;
    QList<RowsOfMac> groups;
    for (const Target &target : std::as_const(targets))
        if (target.outcome == Outcome::Failed || target.outcome == Outcome::NotStarted)
            groups.append({target.mac, list->rowsOf(mac_key(target.mac))});
    if (!groups.isEmpty() && imageUsable())
        start(groups);
}

// Each MAC is located from the list's own rows: those that answered its
// last run tell where, and a MAC heard from two places names no single
// device.
void FirmwareUpdate::start(const QList<RowsOfMac> &groups)
{
    targets.clear();
    targetOfDevice.clear();
    std::vector<DiscoveredDevice> devices;
    for (const RowsOfMac &group : groups) {
        Target &target = targets.emplaceBack();
        target.mac = group.mac;
        target.rows = group.rows;
        const LocateResult located = locate_in_list(list, group.mac);
        if (located.state == LOCATE_FOUND) {
            target.device = static_cast<int>(devices.size());
            target.outcome = Outcome::Waiting;
            target.firmware = firmware_text(located.matches.front().entry);
            targetOfDevice.append(static_cast<int>(targets.size() - 1));
            devices.push_back(located.matches.front());
            show(target, tr("waiting"));
        } else if (located.state == LOCATE_AMBIGUOUS) {
            show(target, tr("skipped: MAC answered by %1 devices").arg(located.matches.size()), -1);
        } else {
            show(target, tr("skipped: not found"), -1);
        }
    }
    list->setColumnHidden(QHostView::Progress, false);
    setVisible(true);
    running = true;
    stopping = aborting = false;
    waitSeconds = verifySeconds;
    list->hold(true);
    emit runningChanged(true);
    refresh();
    if (devices.empty()) {
        finish();
        return;
    }
    batch = std::make_unique<BatchUpload>();
    connect(batch.get(), &BatchUpload::uploadStarted, this, [this](int device) {
        targetOf(device).outcome = Outcome::Uploading;
        show(targetOf(device), tr("starting"));
        refresh();
    });
    connect(batch.get(), &BatchUpload::uploadEnded, this, &FirmwareUpdate::ended);
    connect(batch.get(), &BatchUpload::verifying, this, [this](const QList<int> &devices) {
        for (int device : devices)
            targetOf(device).back = Return::Awaited;
        refresh();
    });
    connect(batch.get(), &BatchUpload::verified, this, &FirmwareUpdate::verified);
    connect(batch.get(), &BatchUpload::finished, this, &FirmwareUpdate::finish);
    batch->start(std::move(devices), QFile::encodeName(image), parallel, waitSeconds * 1000,
                 list->reach());
    progressTimer.start();
}

FirmwareUpdate::Target &FirmwareUpdate::targetOf(int device)
{
    return targets[targetOfDevice.at(device)];
}

// tone: 1 for a success, -1 for a failure, 0 for neither.
void FirmwareUpdate::show(const Target &target, const QString &text, int tone)
{
    const QBrush brush = tone > 0   ? QBrush(QColor(0x1e, 0x7b, 0x34))
                         : tone < 0 ? QBrush(QColor(0xb3, 0x1b, 0x1b))
                                    : QBrush();
    for (HostItem *row : target.rows) {
        row->setText(QHostView::Progress, text);
        row->setForeground(QHostView::Progress, brush);
    }
}

void FirmwareUpdate::showProgress()
{
    for (const Target &target : std::as_const(targets)) {
        if (target.outcome != Outcome::Uploading)
            continue;
        quint64 sent = 0;
        quint64 total = 0;
        batch->progress(target.device, &sent, &total);
        if (total > 0)
            show(target, amount(sent, total));
    }
}

void FirmwareUpdate::ended(int device, const ExchangeReport &report)
{
    Target &target = targetOf(device);
    const bool done = report.stage == STAGE_DONE;
    target.outcome = done ? Outcome::Done : Outcome::Failed;
    show(target, outcome_text(report), done ? 1 : -1);
    refresh();
}

void FirmwareUpdate::verified(int device, const VerifyResult &result)
{
    Target &target = targetOf(device);
    if (result.state == VERIFY_BACK) {
        target.back = Return::Back;
        const QString now = firmware_text(result.answer.entry);
        show(target,
             result.firmware_changed ? tr("back, firmware %1 → %2").arg(target.firmware, now)
                                     : tr("back"),
             1);
    } else if (aborting) {
        target.back = Return::NotChecked;
        show(target, tr("done, not checked"));
    } else {
        target.back = Return::NotBack;
        show(target, tr("did not come back"), -1);
    }
    refresh();
}

// The rows are let go with the list: a run may replace them from now on.
void FirmwareUpdate::finish()
{
    progressTimer.stop();
    bool uploaded = false;
    for (Target &target : targets) {
        if (target.outcome == Outcome::Waiting || target.outcome == Outcome::Uploading) {
            target.outcome = Outcome::NotStarted;
            show(target, tr("not started"));
        }
        if (target.back == Return::Awaited) {
            target.back = Return::NotChecked;
            show(target, tr("done, not checked"));
        }
        uploaded = uploaded || target.outcome == Outcome::Done;
        target.rows.clear();
    }
    running = false;
    emit runningChanged(false);
    if (list != nullptr) {
        list->hold(false);
        // The new firmware texts, in place, so that the outcomes stay.
        if (uploaded)
            list->refreshInPlace();
    }
    refresh();
}

void FirmwareUpdate::askStop()
{
    if (!running)
        return;
    const bool uploading = std::any_of(targets.begin(), targets.end(), [](const Target &target) {
        return target.outcome == Outcome::Waiting || target.outcome == Outcome::Uploading;
    });
    if (!uploading) {
        stop(BATCH_ABORT); // only the wait for the devices to come back is left
        return;
    }
    auto *question = new QMessageBox(QMessageBox::Question, tr("Stop the update"),
                                     tr("No more uploads will start. Should the uploads under "
                                        "way end normally, or be aborted?"),
                                     QMessageBox::Cancel, window());
    question->setAttribute(Qt::WA_DeleteOnClose);
    QPushButton *finishButton = question->addButton(tr("Let them end"), QMessageBox::AcceptRole);
    QPushButton *abortButton = question->addButton(tr("Abort them"), QMessageBox::DestructiveRole);
    connect(question, &QMessageBox::buttonClicked, this,
            [this, finishButton, abortButton](QAbstractButton *button) {
                if (button == finishButton)
                    stop(BATCH_FINISH);
                else if (button == abortButton)
                    stop(BATCH_ABORT);
            });
    question->open();
}

void FirmwareUpdate::stop(BatchStop how)
{
    if (!running || batch == nullptr)
        return;
    stopping = true;
    aborting = aborting || how == BATCH_ABORT;
    batch->stop(how);
    refresh();
}

QString FirmwareUpdate::summary() const
{
    int outcomes[6] = {};
    int returns[5] = {};
    for (const Target &target : targets) {
        ++outcomes[static_cast<int>(target.outcome)];
        ++returns[static_cast<int>(target.back)];
    }
    const auto count = [&outcomes](Outcome outcome) { return outcomes[static_cast<int>(outcome)]; };
    const auto returned = [&returns](Return back) { return returns[static_cast<int>(back)]; };
    const int left =
        count(Outcome::Waiting) + count(Outcome::Uploading) + count(Outcome::NotStarted);
    QString line = tr("Update firmware: %1 done, %2 failed, %3 left")
                       .arg(count(Outcome::Done))
                       .arg(count(Outcome::Failed))
                       .arg(left);
    if (count(Outcome::Skipped) > 0)
        line += tr(", %1 skipped").arg(count(Outcome::Skipped));
    if (returned(Return::Awaited) > 0)
        line += tr("; waiting up to %1 s for %2 to come back")
                    .arg(waitSeconds)
                    .arg(returned(Return::Awaited));
    else if (returned(Return::Back) + returned(Return::NotBack) > 0)
        line += tr("; %1 back, %2 did not come back")
                    .arg(returned(Return::Back))
                    .arg(returned(Return::NotBack));
    if (running && stopping)
        line += tr(" (stopping)");
    return line;
}

// The counts line and what the buttons can do follow every change.
void FirmwareUpdate::refresh()
{
    summaryLine->setText(summary());
    stopButton->setEnabled(running);
    const bool failed = std::any_of(targets.begin(), targets.end(), [](const Target &target) {
        return target.outcome == Outcome::Failed || target.outcome == Outcome::NotStarted;
    });
    retryButton->setEnabled(!running && failed && list != nullptr && !list->isBusy() &&
                            !list->isHeld());
}
