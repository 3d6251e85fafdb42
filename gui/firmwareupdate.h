// SPDX-License-Identifier: GPL-3.0-or-later
// "Update firmware…": one image uploaded to the devices of the selected rows,
// a few at a time, each row's progress and outcome in the list's Progress
// column; below the list, a bar with the batch's counts, "Stop" and "Retry
// failed".
#pragma once

#include "batch_install.h"
#include "verify.h"

#include <QList>
#include <QPointer>
#include <QTimer>
#include <QWidget>
#include <memory>

class BatchUpload;
class HostItem;
class InstallDialog;
class QFileDialog;
class QHostView;
class QLabel;
class QPushButton;
struct RowsOfMac;

class FirmwareUpdate : public QWidget
{
    Q_OBJECT

  public:
    // The image chooser opens where setupDialog's last did, and tells it
    // where the image was found.
    FirmwareUpdate(QHostView *list, InstallDialog *setupDialog, QWidget *parent = nullptr);
    ~FirmwareUpdate() override;

    bool isRunning() const { return running; }
    // For the batches that start later.
    void setParallel(int uploads) { parallel = uploads; }
    void setVerifySeconds(int seconds) { verifySeconds = seconds; }
    // The counts line of the last batch.
    QString summary() const;

  public slots:
    // Asks for the image, then updates the selected rows' devices.
    void chooseImage();
    void updateFirmware(const QString &image);
    // Asks whether the uploads under way may end or are aborted.
    void askStop();
    void stop(BatchStop how);
    // The devices of the last batch whose upload failed or never started.
    void retryFailed();

  signals:
    // One line for the window's status line.
    void statusMessage(const QString &line);
    void runningChanged(bool running);

  private:
    enum class Outcome { Skipped, Waiting, Uploading, Done, Failed, NotStarted };
    enum class Return { Unknown, Awaited, Back, NotBack, NotChecked };
    struct Target {
        ether_addr mac;
        // While the batch runs; the list is held meanwhile, so they stay.
        QList<HostItem *> rows;
        // Its place in the batch, when located.
        int device = -1;
        QString firmware;
        Outcome outcome = Outcome::Skipped;
        Return back = Return::Unknown;
    };

    bool imageUsable();
    void start(const QList<RowsOfMac> &groups);
    Target &targetOf(int device);
    void show(const Target &target, const QString &text, int tone = 0);
    void showProgress();
    void ended(int device, const ExchangeReport &report);
    void verified(int device, const VerifyResult &result);
    void finish();
    void refresh();

    QPointer<QHostView> list;
    QPointer<InstallDialog> setupDialog;
    QFileDialog *chooser = nullptr;
    QLabel *summaryLine;
    QPushButton *stopButton;
    QPushButton *retryButton;
    int parallel = DEFAULT_PARALLEL_UPLOADS;
    int verifySeconds = 120;
    QString image;
    QList<Target> targets;
    std::unique_ptr<BatchUpload> batch;
    QList<int> targetOfDevice;
    int waitSeconds = 0;
    bool running = false;
    bool stopping = false;
    bool aborting = false;
    // How far the uploads under way are, read from the batch this often.
    QTimer progressTimer;
};
