// SPDX-License-Identifier: GPL-3.0-or-later
#include "watch.h"

#include "commands.h"
#include "remembered.h"

#include <QHash>
#include <QSet>
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <ctime>

namespace
{

volatile std::sig_atomic_t signalled = 0;

void on_signal(int)
{
    signalled = 1;
}

// The run polls the flag at least every 100 ms, so a signal ends it promptly.
class WatchedRun : public RowCollector
{
  public:
    bool stop_requested() override { return signalled != 0; }
};

// Waits ms, or less when a signal comes.
void pause_for(int ms)
{
    for (int waited = 0; waited < ms && signalled == 0; waited += 100) {
        const timespec step{0, std::min(100, ms - waited) * 1000000L};
        nanosleep(&step, nullptr);
    }
}

// One line per device that appeared or is gone, and one for all that changed
// in a device; each flushed, so that a reader sees it at once.
void print_events(const RecordedRun &run, const QDateTime &at)
{
    QHash<QString, const RememberedDevice *> devices;
    for (const RememberedDevice &device : run.devices)
        devices.insert(device.mac, &device);
    QSet<QString> changed;
    for (const InventoryEvent &event : run.events) {
        const bool change = event.kind.endsWith(QLatin1String(" changed"));
        if (change && changed.contains(event.mac))
            continue;
        changed.insert(event.mac);
        const std::string line = format_event_line(change ? "changed" : event.kind.toStdString(),
                                                   at, *devices.value(event.mac));
        std::fwrite(line.data(), 1, line.size(), stdout);
        std::fflush(stdout);
    }
}

} // namespace

int run_watch(const CliCommand &command)
{
    const std::unique_ptr<Inventory> inventory = open_inventory(command);
    if (inventory == nullptr)
        return STATUS_FAILED;
    struct sigaction action {
    };
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    // That no interface can broadcast is said once, not at every run.
    bool fallbackSaid = false;
    while (signalled == 0) {
        WatchedRun watched;
        if (const int status = run_discovery(command, &watched, &fallbackSaid); status != STATUS_OK)
            return status;
        // A run cut short would make the devices yet to answer look absent.
        if (signalled != 0)
            break;
        const QDateTime at = QDateTime::currentDateTimeUtc();
        RecordedRun run;
        // A run that cannot be recorded is said, and the next one tried.
        if (remember_run(inventory.get(), at, &watched.rows, &run))
            print_events(run, at);
        pause_for(command.watch_ms);
    }
    return STATUS_OK;
}
