// SPDX-License-Identifier: GPL-3.0-or-later
// One discovery run into the file, in one transaction.
#include "inventory.h"

#include "device_table.h"
#include "statement.h"

#include <QHash>
#include <QSqlDatabase>

namespace
{

// What makes a device "changed" when it differs from the last run.
struct WatchedField {
    const char *name;
    QString RememberedDevice::*remembered;
    QString Sighting::*seen;
};
const WatchedField WATCHED[] = {
    {"address", &RememberedDevice::address, &Sighting::address},
    {"netmask", &RememberedDevice::netmask, &Sighting::netmask},
    {"hostname", &RememberedDevice::hostname, &Sighting::hostname},
    {"firmware", &RememberedDevice::firmware, &Sighting::firmware},
};

// A new device's row, and an answering one's: a device's name, note and
// first sighting are never a run's to change. The two share their first
// placeholders.
constexpr char INSERT_DEVICE[] =
    "INSERT INTO devices (last_seen, address, netmask, hostname, firmware, interface, site,"
    " state, last_run, mac, first_seen) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)";
constexpr char UPDATE_DEVICE[] =
    "UPDATE devices SET last_seen = ?, address = ?, netmask = ?, hostname = ?, firmware = ?,"
    " interface = ?, site = ?, state = ?, last_run = ?, missed_runs = 0 WHERE mac = ?";
constexpr char INSERT_EVENT[] =
    "INSERT INTO events (run, mac, kind, old, new) VALUES (?, ?, ?, ?, ?)";
// Everything of the run's site that did not answer it is absent, and gone at
// its second miss in a row: two statements rather than one per device.
constexpr char MISS_ABSENT[] = "UPDATE devices SET state = 'absent',"
                               " missed_runs = missed_runs + 1 WHERE last_run <> ? AND site = ?";
constexpr char INSERT_GONE[] = "INSERT INTO events (run, mac, kind, old)"
                               " SELECT ?, mac, 'gone', address FROM devices"
                               " WHERE last_run <> ? AND site = ? AND missed_runs = 2 ORDER BY mac";

class RunRecorder
{
  public:
    RunRecorder(const QSqlDatabase &database, const QDateTime &time, const QString &runSite)
        : db(database), at(time), site(runSite), insertDevice(db, INSERT_DEVICE),
          updateDevice(db, UPDATE_DEVICE), insertEvent(db, INSERT_EVENT),
          missAbsent(db, MISS_ABSENT), insertGone(db, INSERT_GONE)
    {
    }

    bool record(const QList<Sighting> &sightings, RecordedRun *out)
    {
        Statement newRun(db, "INSERT INTO runs (at) VALUES (?) RETURNING id");
        if (!readDevices(db, &known, &error) || !newRun.start({at.toMSecsSinceEpoch()}) ||
            !newRun.next())
            return fail(newRun);
        const qint64 run = newRun.integer(0);
        knownIndex.reserve(known.size());
        for (qsizetype i = 0; i < known.size(); ++i)
            knownIndex.insert(known[i].mac, i);
        out->devices.reserve(qMax(known.size(), sightings.size()));
        QList<bool> answered(known.size(), false);
        for (const Sighting *sighting : oneSightingPerMac(sightings)) {
            const qsizetype k = knownIndex.value(sighting->mac, -1);
            if (k >= 0)
                answered[k] = true;
            answer(*sighting, k >= 0 ? &known[k] : nullptr, out);
        }
        for (const RememberedDevice &device : std::as_const(out->devices))
            if (!write(device, run))
                return false;
        for (const InventoryEvent &event : std::as_const(out->events))
            if (!insertEvent.run({run, event.mac, event.kind, event.from, event.to}))
                return fail(insertEvent);
        for (qsizetype k = 0; k < known.size(); ++k)
            if (!answered[k] && known[k].site == site)
                miss(known[k], out);
            else if (!answered[k])
                out->devices.append(known[k]);
        if (!missAbsent.run({run, site}))
            return fail(missAbsent);
        return insertGone.run({run, run, site}) || fail(insertGone);
    }

    QString error;

  private:
    bool write(const RememberedDevice &device, qint64 run)
    {
        const qint64 seen = device.lastSeen.toMSecsSinceEpoch();
        const QString state = stateWord(device.state);
        if (device.state == DeviceState::New)
            return insertDevice.run({seen, device.address, device.netmask, device.hostname,
                                     device.firmware, device.interface, site, state, run,
                                     device.mac, device.firstSeen.toMSecsSinceEpoch()}) ||
                   fail(insertDevice);
        return updateDevice.run({seen, device.address, device.netmask, device.hostname,
                                 device.firmware, device.interface, site, state, run,
                                 device.mac}) ||
               fail(updateDevice);
    }

    bool fail(const Statement &statement)
    {
        if (error.isEmpty())
            error = statement.error();
        return false;
    }

    // Of sightings that share a MAC, the one at the remembered address, or
    // else the first; in the order they answered.
    QList<const Sighting *> oneSightingPerMac(const QList<Sighting> &sightings) const
    {
        QHash<QString, qsizetype> picked;
        QList<const Sighting *> out;
        for (const Sighting &sighting : sightings) {
            const auto it = picked.constFind(sighting.mac);
            if (it == picked.cend()) {
                picked.insert(sighting.mac, out.size());
                out.append(&sighting);
                continue;
            }
            const qsizetype k = knownIndex.value(sighting.mac, -1);
            if (k >= 0 && sighting.address == known[k].address)
                out[*it] = &sighting;
        }
        return out;
    }

    void answer(const Sighting &sighting, const RememberedDevice *before, RecordedRun *out) const
    {
        RememberedDevice device;
        if (before == nullptr) {
            device.mac = sighting.mac;
            device.firstSeen = at;
            device.state = DeviceState::New;
            out->events.append({at, device.mac, QStringLiteral("appeared"), {}, sighting.address});
        } else {
            device = *before;
            device.changes.clear();
            if (device.missedRuns >= 2)
                out->events.append(
                    {at, device.mac, QStringLiteral("appeared"), {}, sighting.address});
            for (const WatchedField &field : WATCHED)
                change(&device, QLatin1String(field.name), device.*field.remembered,
                       sighting.*field.seen, out);
            // Found at another site, it has moved there.
            change(&device, QStringLiteral("site"), device.site, site, out);
            device.state = device.changes.isEmpty() ? DeviceState::Present : DeviceState::Changed;
        }
        for (const WatchedField &field : WATCHED)
            device.*field.remembered = sighting.*field.seen;
        device.site = site;
        device.interface = sighting.interface;
        device.lastSeen = at;
        device.missedRuns = 0;
        out->devices.append(device);
    }

    void change(RememberedDevice *device, const QString &field, const QString &old,
                const QString &now, RecordedRun *out) const
    {
        if (old == now)
            return;
        device->changes.append({field, old, now});
        out->events.append({at, device->mac, field + QStringLiteral(" changed"), old, now});
    }

    void miss(RememberedDevice device, RecordedRun *out) const
    {
        device.state = DeviceState::Absent;
        device.changes.clear();
        if (++device.missedRuns == 2)
            out->events.append({at, device.mac, QStringLiteral("gone"), device.address, {}});
        out->devices.append(device);
    }

    QSqlDatabase db;
    QDateTime at;
    QString site;
    Statement insertDevice;
    Statement updateDevice;
    Statement insertEvent;
    Statement missAbsent;
    Statement insertGone;
    QList<RememberedDevice> known; // in MAC order
    QHash<QString, qsizetype> knownIndex;
};

} // namespace

bool Inventory::recordRun(const QList<Sighting> &sightings, const QDateTime &at, RecordedRun *out,
                          const QString &site)
{
    const QSqlDatabase db = QSqlDatabase::database(connectionName, false);
    Statement begin(db, "BEGIN IMMEDIATE");
    Statement commit(db, "COMMIT");
    if (!begin.run()) {
        writeError = begin.error();
        return false;
    }
    RecordedRun run;
    RunRecorder recorder(db, at.toUTC(), site);
    if (!recorder.record(sightings, &run) || !commit.run()) {
        writeError = recorder.error.isEmpty() ? commit.error() : recorder.error;
        Statement(db, "ROLLBACK").run();
        return false;
    }
    writeError.clear();
    if (out != nullptr)
        *out = std::move(run);
    return true;
}
