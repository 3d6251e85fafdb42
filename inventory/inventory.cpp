// SPDX-License-Identifier: GPL-3.0-or-later
#include "inventory.h"

#include "database_file.h"
#include "device_table.h"
#include "discover_run.h"
#include "statement.h"

#include <QSqlDatabase>
#include <QStandardPaths>
#include <arpa/inet.h>
#include <atomic>

namespace
{

std::atomic<int> connectionCount{0};

} // namespace

Inventory::Inventory(const QString &path)
    : connectionName(QStringLiteral("devscout-inventory-%1").arg(++connectionCount)),
      filePath(path.isEmpty() ? defaultPath() : path)
{
    QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connectionName);
    openInventoryFile(connectionName, filePath, &openError);
}

Inventory::~Inventory()
{
    // The handle must be gone before the connection is removed.
    QSqlDatabase::database(connectionName, false).close();
    QSqlDatabase::removeDatabase(connectionName);
}

bool Inventory::isOpen() const
{
    return QSqlDatabase::database(connectionName, false).isOpen();
}

QString Inventory::path() const
{
    return filePath;
}

QString Inventory::errorLine() const
{
    return openError;
}

QString Inventory::lastError() const
{
    return writeError;
}

QString Inventory::defaultPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
           QStringLiteral("/devscout/inventory.sqlite");
}

QList<RememberedDevice> Inventory::devices() const
{
    const QSqlDatabase db = QSqlDatabase::database(connectionName, false);
    QList<RememberedDevice> out;
    QString error;
    if (!readDevices(db, &out, &error))
        return {};
    return out;
}

std::vector<in_addr> Inventory::absentAddresses(const QSet<QString> &heard) const
{
    Statement query(QSqlDatabase::database(connectionName, false),
                    "SELECT mac, address FROM devices WHERE site = '' ORDER BY address");
    std::vector<in_addr> addresses;
    query.start();
    while (query.next()) {
        in_addr address{};
        if (!heard.contains(query.text(0)) &&
            inet_pton(AF_INET, query.text(1).toLatin1().constData(), &address) == 1)
            addresses.push_back(address);
    }
    std::vector<in_addr> distinct;
    add_targets(&distinct, addresses.data(), static_cast<int>(addresses.size()));
    return distinct;
}

bool Inventory::setText(const char *column, const QString &mac, const QString &text)
{
    const QSqlDatabase db = QSqlDatabase::database(connectionName, false);
    Statement update(db, QStringLiteral("UPDATE devices SET %1 = ? WHERE mac = ? RETURNING mac")
                             .arg(QLatin1String(column))
                             .toUtf8()
                             .constData());
    // Stepped to its end, where the change commits.
    int rows = 0;
    if (update.start({text, mac}))
        while (update.next())
            ++rows;
    writeError = update.error();
    return rows == 1;
}

bool Inventory::setNote(const QString &mac, const QString &note)
{
    return setText("note", mac, note);
}

bool Inventory::setName(const QString &mac, const QString &name)
{
    return setText("name", mac, name);
}

QList<InventoryEvent> Inventory::events(const QString &mac) const
{
    Statement query(QSqlDatabase::database(connectionName, false),
                    "SELECT runs.at, events.mac, kind, old, new FROM events"
                    " JOIN runs ON runs.id = events.run"
                    " WHERE ? = '' OR events.mac = ? ORDER BY events.id");
    QList<InventoryEvent> out;
    query.start({mac, mac});
    while (query.next())
        out.append({timeFromStored(query.integer(0)), query.text(1), query.text(2), query.text(3),
                    query.text(4)});
    return out;
}
