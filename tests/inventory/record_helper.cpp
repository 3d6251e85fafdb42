// SPDX-License-Identifier: GPL-3.0-or-later
// Records runs of many devices into an inventory, for the tests that run it
// twice at once or kill it part-way: inventory_record_helper DATABASE TAG
// DEVICES RUNS. The devices' MACs start with 02:TAG; run k gives each the
// host name "run-k". RUNS 0 records until killed. Prints "recording k" before
// and "recorded k MS" after each run.
#include "inventory.h"

#include <QElapsedTimer>
#include <cstdio>
#include <cstdlib>

int main(int argc, char **argv)
{
    if (argc != 5) {
        std::fputs("usage: inventory_record_helper DATABASE TAG DEVICES RUNS\n", stderr);
        return 2;
    }
    const int tag = std::atoi(argv[2]);
    const int count = std::atoi(argv[3]);
    const int runs = std::atoi(argv[4]);
    Inventory inventory(QString::fromLocal8Bit(argv[1]));
    for (int k = 1; runs == 0 || k <= runs; ++k) {
        QList<Sighting> sightings;
        for (int i = 0; i < count; ++i)
            sightings.append({QString::asprintf("02:%02x:00:%02x:%02x:%02x", tag, i >> 16,
                                                (i >> 8) & 0xff, i & 0xff),
                              QString::asprintf("198.18.%d.%d", i >> 8, i & 0xff),
                              QStringLiteral("255.255.0.0"), QStringLiteral("run-%1").arg(k),
                              QStringLiteral("1.0"), QStringLiteral("veth0")});
        std::printf("recording %d\n", k);
        std::fflush(stdout);
        QElapsedTimer timer;
        timer.start();
        if (!inventory.recordRun(sightings, QDateTime::currentDateTimeUtc(), nullptr)) {
            std::fprintf(stderr, "run %d not recorded: %s\n", k, qPrintable(inventory.lastError()));
            return 1;
        }
        std::printf("recorded %d %lld\n", k, static_cast<long long>(timer.elapsed()));
        std::fflush(stdout);
    }
    return 0;
}
