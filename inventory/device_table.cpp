// SPDX-License-Identifier: GPL-3.0-or-later
#include "device_table.h"

#include "statement.h"

#include <QHash>

namespace
{

DeviceState stateFromWord(const QString &word)
{
    for (DeviceState state :
         {DeviceState::Present, DeviceState::New, DeviceState::Changed, DeviceState::Absent})
        if (word == stateWord(state))
            return state;
    return DeviceState::Absent;
}

// The changes of each changed device, from the run that last found it: with
// sites, that need not be the latest run.
bool readChanges(const QSqlDatabase &db, QList<RememberedDevice> *devices, QString *error)
{
    QHash<QString, qsizetype> index;
    for (qsizetype i = 0; i < devices->size(); ++i)
        index.insert(devices->at(i).mac, i);
    Statement changes(db, "SELECT events.mac, kind, old, new FROM devices JOIN events"
                          " ON events.mac = devices.mac AND events.run = devices.last_run"
                          " WHERE state = 'changed' AND kind LIKE '% changed' ORDER BY events.id");
    changes.start();
    while (changes.next()) {
        const qsizetype at = index.value(changes.text(0), -1);
        if (at >= 0)
            (*devices)[at].changes.append({changes.text(1).section(QLatin1Char(' '), 0, 0),
                                           changes.text(2), changes.text(3)});
    }
    *error = changes.error();
    return error->isEmpty();
}

} // namespace

QString stateWord(DeviceState state)
{
    switch (state) {
    case DeviceState::Present:
        return QStringLiteral("present");
    case DeviceState::New:
        return QStringLiteral("new");
    case DeviceState::Changed:
        return QStringLiteral("changed");
    case DeviceState::Absent:
        break;
    }
    return QStringLiteral("absent");
}

QDateTime timeFromStored(qint64 ms)
{
    return QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC);
}

bool readDevices(const QSqlDatabase &db, QList<RememberedDevice> *out, QString *error)
{
    Statement query(db,
                    "SELECT mac, first_seen, last_seen, address, netmask, hostname, firmware,"
                    " interface, name, note, state, missed_runs, site FROM devices ORDER BY mac");
    query.start();
    while (query.next()) {
        RememberedDevice device;
        device.mac = query.text(0);
        device.firstSeen = timeFromStored(query.integer(1));
        device.lastSeen = timeFromStored(query.integer(2));
        device.address = query.text(3);
        device.netmask = query.text(4);
        device.hostname = query.text(5);
        device.firmware = query.text(6);
        device.interface = query.text(7);
        device.name = query.text(8);
        device.note = query.text(9);
        device.state = stateFromWord(query.text(10));
        device.missedRuns = static_cast<int>(query.integer(11));
        device.site = query.text(12);
        out->append(device);
    }
    *error = query.error();
    return error->isEmpty() && readChanges(db, out, error);
}
