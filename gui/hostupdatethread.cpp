// SPDX-License-Identifier: GPL-3.0-or-later
#include "hostupdatethread.h"
#include "qhostview.h"
#include "remembered_run.h"
#include "sighting.h"
#include "trace.h"
#include "vendors.h"

#include <QElapsedTimer>
#include <memory>
#include <sys/resource.h>
#include <unistd.h>
#include <utility>

namespace
{

// How long found devices wait on the worker at most, as long as it keeps
// receiving, before they go to the list together: thousands of devices
// answering at once make a few dozen calls instead of thousands.
constexpr int BATCH_MS = 10;
// Sharing a core, the run and the window would each get a whole scheduler
// slice in turn, and the window would stall for the run's; niced, the run
// yields to the window's short bursts and still takes every idle moment.
// QThread's priorities do not change a Linux thread's share.
constexpr int RUN_NICENESS = 10;

// Queues the devices a run finds on the list in batches; the run stops when
// the thread it runs on is asked to.
class ListSink : public DiscoverSink
{
  public:
    ListSink(QHostView *list, QList<Sighting> *seen) : list(list), seen(seen) { sincePost.start(); }
    ~ListSink() override { post(); }

    void found(const DiscoveredDevice &device) override
    {
        batch.append({device, vendorForMac(device.entry.mac)});
        if (seen != nullptr)
            seen->append(sighting_of(device.entry, device.where.name));
        if (sincePost.hasExpired(BATCH_MS))
            post();
    }
    bool stop_requested() override
    {
        if (sincePost.hasExpired(BATCH_MS))
            post();
        return QThread::currentThread()->isInterruptionRequested();
    }

  private:
    void post()
    {
        sincePost.restart();
        if (batch.isEmpty())
            return;
        QMetaObject::invokeMethod(
            list, [list = list, devices = std::exchange(batch, {})] { list->takeFound(devices); },
            Qt::QueuedConnection);
    }

    QHostView *list;
    QList<Sighting> *seen;
    QList<FoundDevice> batch;
    QElapsedTimer sincePost;
};

} // namespace

HostUpdateThread::~HostUpdateThread()
{
    // Every wait of a run polls this request, so a window closed during a
    // discovery or an exchange ends at once, whatever the device does.
    requestInterruption();
    wait();
}

void HostUpdateThread::run()
{
    setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), RUN_NICENESS);
    const auto say = [this](const QString &line) { emit statusMessage(line); };
    const auto stop = [this] { return isInterruptionRequested(); };
    for (const SetupRequest &request : std::exchange(pending, {})) {
        if (stop())
            return;
        run_setup_request(request, say, stop);
    }
    if (stop())
        return;
    trace("Performing discover\n");
    emit listCleared();
    // A connection of this thread's own, so that the window never waits for
    // thousands of devices to be read or written.
    std::unique_ptr<Inventory> inventory;
    if (!database.isEmpty()) {
        inventory = std::make_unique<Inventory>(database);
        if (!inventory->errorLine().isEmpty())
            say(inventory->errorLine());
    }
    QList<Sighting> seen;
    do_discover(list, reach, reach.askRemembered ? inventory.get() : nullptr,
                inventory != nullptr ? &seen : nullptr);
    if (stop())
        say(tr("Discovery cancelled"));
    else if (inventory != nullptr)
        record(inventory.get(), seen);
}

void HostUpdateThread::record(Inventory *inventory, const QList<Sighting> &seen)
{
    RecordedRun recorded;
    if (!inventory->recordRun(seen, QDateTime::currentDateTimeUtc(), &recorded)) {
        emit statusMessage(tr("The inventory %1 could not be written").arg(inventory->path()));
        return;
    }
    QMetaObject::invokeMethod(
        list,
        [list = list, devices = std::move(recorded.devices)]() mutable {
            list->takeRecorded(std::move(devices));
        },
        Qt::QueuedConnection);
}

int do_discover(QHostView *list, const DiscoveryReach &reach, const Inventory *inventory,
                QList<Sighting> *seen)
{
    const std::vector<DiscoverInterface> interfaces = default_discover_interfaces();
    DiscoverRunOptions options{};
    options.targets = reach.targets.data();
    options.target_count = static_cast<int>(reach.targets.size());
    options.source_port = reach.sourcePort;
    ListSink sink(list, seen);
    return discover_asking_remembered(inventory, interfaces.data(),
                                      static_cast<int>(interfaces.size()), &sink, options);
}
