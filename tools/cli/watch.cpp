// SPDX-License-Identifier: GPL-3.0-or-later
#include "watch.h"

#include "commands.h"
#include "pause.h"
#include "remembered.h"
#include "stop_signals.h"

#include <QHash>
#include <QSet>
#include <cstdio>

namespace
{

// The run polls the flag at least every 100 ms, so a signal ends it promptly.
class WatchedRun : public RowCollector
{
  public:
    bool stop_requested() override { return stop_signalled(); }
};

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
    catch_stop_signals();
    // That no interface can broadcast is said once, not at every run.
    bool fallbackSaid = false;
    while (!stop_signalled()) {
        WatchedRun watched;
        if (const int status = run_discovery(command, &watched, &fallbackSaid, inventory.get());
            status != STATUS_OK)
            return status;
        // A run cut short would make the devices yet to answer look absent.
        if (stop_signalled())
            break;
        const QDateTime at = QDateTime::currentDateTimeUtc();
        RecordedRun run;
        // A run that cannot be recorded is said, and the next one tried.
        if (remember_run(inventory.get(), at, &watched.rows, &run))
            print_events(run, at);
        pause_until(FleetClock::now() + std::chrono::milliseconds(command.watch_ms), stop_signalled,
                    nullptr);
    }
    return STATUS_OK;
}
