// SPDX-License-Identifier: GPL-3.0-or-later
#include "batchupload.h"

#include <algorithm>

namespace
{

// The callbacks of the batch run on its worker threads: they hand on what
// happened to the object's own thread, or only note how far an upload is.
void on_started(void *context, int index)
{
    auto *batch = static_cast<BatchUpload *>(context);
    QMetaObject::invokeMethod(
        batch, [batch, index] { emit batch->uploadStarted(index); }, Qt::QueuedConnection);
}

void on_finished(void *context, int index, const ExchangeReport &report)
{
    auto *batch = static_cast<BatchUpload *>(context);
    QMetaObject::invokeMethod(
        batch, [batch, index, report] { emit batch->uploadEnded(index, report); },
        Qt::QueuedConnection);
}

bool aborted(void *context)
{
    return static_cast<const BatchControl *>(context)->stop.load() == BATCH_ABORT;
}

} // namespace

BatchUpload::~BatchUpload()
{
    if (thread == nullptr)
        return;
    stop(BATCH_ABORT);
    thread->wait();
}

void BatchUpload::start(std::vector<DiscoveredDevice> chosen, const QByteArray &path, int atOnce,
                        int verifyWithin, const DiscoveryReach &askedAs)
{
    reach = askedAs;
    devices = std::move(chosen);
    image = path;
    parallel = atOnce;
    verifyMs = verifyWithin;
    uploads = std::make_unique<Progress[]>(devices.size());
    thread.reset(QThread::create([this] { run(); }));
    connect(thread.get(), &QThread::finished, this, &BatchUpload::finished);
    thread->start();
}

void BatchUpload::progress(int index, quint64 *sent, quint64 *total) const
{
    *sent = uploads[index].sent.load();
    *total = uploads[index].total.load();
}

// On the thread.
void BatchUpload::run()
{
    BatchInstallOptions options{};
    options.parallel = parallel;
    options.callbacks.started = on_started;
    // Only noted: the window looks as often as it redraws, so a fast upload
    // does not flood it.
    options.callbacks.progress = [](void *context, int index, uint64_t sent, uint64_t total) {
        Progress &upload = static_cast<BatchUpload *>(context)->uploads[index];
        upload.total.store(total);
        upload.sent.store(sent);
    };
    options.callbacks.finished = on_finished;
    options.callbacks.context = this;
    std::vector<BatchResult> results(devices.size());
    if (batch_install(devices.data(), static_cast<int>(devices.size()), image.constData(), &options,
                      &control, results.data()) >= 0)
        verify(results);
}

// Devices restart after taking an image: the first ask leaves them a moment.
void BatchUpload::verify(const std::vector<BatchResult> &results)
{
    QList<int> indexes;
    std::vector<DiscoveredDevice> before;
    for (size_t i = 0; i < results.size(); ++i)
        if (results[i].started && results[i].report.stage == STAGE_DONE) {
            indexes.append(static_cast<int>(i));
            before.push_back(devices[i]);
        }
    if (indexes.isEmpty() || aborted(&control))
        return;
    QMetaObject::invokeMethod(
        this, [this, indexes] { emit verifying(indexes); }, Qt::QueuedConnection);
    VerifyOptions options{};
    options.deadline_ms = verifyMs;
    // A device still on its old image answers too: leave it time to restart,
    // but not the whole of a short wait.
    options.first_ask_ms = std::min(DEFAULT_VERIFY_FIRST_ASK_MS, verifyMs / 4);
    options.stop_requested = aborted;
    options.context = &control;
    options.targets = reach.targets.data();
    options.target_count = static_cast<int>(reach.targets.size());
    options.source_port = reach.sourcePort;
    const std::vector<DiscoverInterface> interfaces = default_discover_interfaces();
    std::vector<VerifyResult> back(before.size());
    if (verify_devices(interfaces.data(), static_cast<int>(interfaces.size()), before.data(),
                       static_cast<int>(before.size()), &options, back.data()) < 0)
        return;
    QMetaObject::invokeMethod(
        this,
        [this, indexes, back] {
            for (qsizetype k = 0; k < indexes.size(); ++k)
                emit verified(indexes[k], back[k]);
        },
        Qt::QueuedConnection);
}
