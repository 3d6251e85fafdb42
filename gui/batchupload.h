// SPDX-License-Identifier: GPL-3.0-or-later
// One image uploaded to many devices off the GUI thread, then the wait for
// them to come back: the fleet library's batch and verification on a thread
// of their own, reported to the GUI thread through queued calls.
#pragma once

#include "batch_install.h"
#include "discoveryreach.h"
#include "verify.h"

#include <QByteArray>
#include <QObject>
#include <QThread>
#include <memory>
#include <vector>

class BatchUpload : public QObject
{
    Q_OBJECT

  public:
    explicit BatchUpload(QObject *parent = nullptr) : QObject(parent) {}
    // Aborts the uploads under way and waits for them.
    ~BatchUpload() override;

    // Once per object. verifyMs is how long the devices that took the image
    // have to answer again; they are asked as reach says.
    void start(std::vector<DiscoveredDevice> devices, const QByteArray &image, int parallel,
               int verifyMs, const DiscoveryReach &reach);
    void stop(BatchStop how) { batch_request_stop(&control, how); }
    bool isRunning() const { return thread != nullptr && thread->isRunning(); }
    // How far device index's upload is: bytes sent of total (0 before the
    // connection). Read while it runs, as often as the window likes.
    void progress(int index, quint64 *sent, quint64 *total) const;

  signals:
    void uploadStarted(int index);
    void uploadEnded(int index, const ExchangeReport &report);
    // The uploads have ended; indexes took the image and are now awaited.
    void verifying(const QList<int> &indexes);
    void verified(int index, const VerifyResult &result);
    void finished();

  private:
    struct Progress {
        std::atomic<quint64> sent{0};
        std::atomic<quint64> total{0};
    };
    void run();
    void verify(const std::vector<BatchResult> &results);

    std::vector<DiscoveredDevice> devices;
    QByteArray image;
    int parallel = 0;
    int verifyMs = 0;
    DiscoveryReach reach;
    BatchControl control;
    std::unique_ptr<Progress[]> uploads;
    std::unique_ptr<QThread> thread;
};
