// SPDX-License-Identifier: GPL-3.0-or-later
// Time to record a run of many devices into the inventory (all new, all
// present, all changed) and to read them all back; best of five, each round
// in a fresh file.
#include "inventory.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <limits>

namespace
{

constexpr int DEVICES = 10000;
constexpr int ROUNDS = 5;

// The run as the command line hands it over; firmware tells one run's
// devices from the other's.
QList<Sighting> sightings(const QString &firmware)
{
    QList<Sighting> out;
    out.reserve(DEVICES);
    for (int i = 0; i < DEVICES; ++i) {
        const int hi = i >> 8;
        const int lo = i & 0xff;
        out.append({QString::asprintf("02:00:00:00:%02x:%02x", hi, lo),
                    QString::asprintf("198.18.%d.%d", hi, lo), QStringLiteral("255.254.0.0"),
                    QStringLiteral("device-%1").arg(i), firmware, QStringLiteral("veth0")});
    }
    return out;
}

// Records one run; its milliseconds, or -1 when the run was not recorded or
// its devices did not all come out in the expected state.
double timedRun(Inventory *inventory, const QList<Sighting> &run, DeviceState expected)
{
    RecordedRun recorded;
    QElapsedTimer timer;
    timer.start();
    const bool ok = inventory->recordRun(run, QDateTime::currentDateTimeUtc(), &recorded);
    const double ms = timer.nsecsElapsed() / 1e6;
    if (!ok) {
        std::fprintf(stderr, "inventory_bench: %s\n", qPrintable(inventory->lastError()));
        return -1;
    }
    const bool all = recorded.devices.size() == DEVICES &&
                     std::all_of(recorded.devices.cbegin(), recorded.devices.cend(),
                                 [&](const RememberedDevice &d) { return d.state == expected; });
    if (!all) {
        std::fprintf(stderr, "inventory_bench: the run did not leave every device %s\n",
                     qPrintable(stateWord(expected)));
        return -1;
    }
    return ms;
}

} // namespace

int main(int argc, char **argv)
{
    // The SQL driver is a plugin, found through the application object.
    QCoreApplication app(argc, argv);
    const QList<Sighting> first = sightings(QStringLiteral("1.0"));
    const QList<Sighting> second = sightings(QStringLiteral("1.1"));
    constexpr double NONE = std::numeric_limits<double>::max();
    double fresh = NONE, present = NONE, changed = NONE, read = NONE;
    for (int round = 0; round < ROUNDS; ++round) {
        const QTemporaryDir dir;
        Inventory inventory(dir.filePath(QStringLiteral("inventory.sqlite")));
        if (!dir.isValid() || !inventory.isOpen()) {
            std::fprintf(stderr, "inventory_bench: no scratch inventory could be opened\n");
            return 1;
        }
        const double times[] = {timedRun(&inventory, first, DeviceState::New),
                                timedRun(&inventory, first, DeviceState::Present),
                                timedRun(&inventory, second, DeviceState::Changed)};
        if (std::any_of(std::begin(times), std::end(times), [](double t) { return t < 0; }))
            return 1;
        QElapsedTimer timer;
        timer.start();
        const qsizetype remembered = inventory.devices().size();
        const double readMs = timer.nsecsElapsed() / 1e6;
        if (remembered != DEVICES) {
            std::fprintf(stderr, "inventory_bench: %lld devices read back of %d\n",
                         static_cast<long long>(remembered), DEVICES);
            return 1;
        }
        fresh = std::min(fresh, times[0]);
        present = std::min(present, times[1]);
        changed = std::min(changed, times[2]);
        read = std::min(read, readMs);
    }
    std::printf("inventory, a run of %d devices (best of %d, fresh file each round):\n", DEVICES,
                ROUNDS);
    std::printf("  record, all new:     %7.1f ms\n", fresh);
    std::printf("  record, all present: %7.1f ms\n", present);
    std::printf("  record, all changed: %7.1f ms\n", changed);
    std::printf("  read back (devices): %7.1f ms\n", read);
    return 0;
}
