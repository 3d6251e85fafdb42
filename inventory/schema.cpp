// SPDX-License-Identifier: GPL-3.0-or-later
#include "schema.h"

#include "statement.h"

#include <vector>

namespace
{

// Entry i takes a file from version i to version i + 1 (PRAGMA user_version):
// a new version is one more entry.
const std::vector<std::vector<const char *>> MIGRATIONS = {
    {
        "CREATE TABLE runs (id INTEGER PRIMARY KEY, at INTEGER NOT NULL)",
        // Times are milliseconds since the epoch; last_run tells the devices
        // that answered the latest run from the absent ones.
        "CREATE TABLE devices (mac TEXT PRIMARY KEY, first_seen INTEGER NOT NULL,"
        " last_seen INTEGER NOT NULL, address TEXT NOT NULL, netmask TEXT NOT NULL,"
        " hostname TEXT NOT NULL, firmware TEXT NOT NULL, interface TEXT NOT NULL,"
        " name TEXT NOT NULL DEFAULT '', note TEXT NOT NULL DEFAULT '', state TEXT NOT NULL,"
        " missed_runs INTEGER NOT NULL DEFAULT 0,"
        " last_run INTEGER NOT NULL REFERENCES runs(id)) WITHOUT ROWID",
        "CREATE TABLE events (id INTEGER PRIMARY KEY, run INTEGER NOT NULL REFERENCES runs(id),"
        " mac TEXT NOT NULL REFERENCES devices(mac), kind TEXT NOT NULL,"
        " old TEXT NOT NULL DEFAULT '', new TEXT NOT NULL DEFAULT '')",
        "CREATE INDEX events_by_mac ON events(mac, id)",
        "CREATE INDEX events_by_run ON events(run)",
    },
    {
        // The site a device was last found at: empty for this host's own
        // runs, else the name its file was imported under.
        "ALTER TABLE devices ADD COLUMN site TEXT NOT NULL DEFAULT ''",
    },
};

// The file's version, or -1 after setting *error.
int schemaVersion(const QSqlDatabase &db, QString *error)
{
    Statement version(db, "PRAGMA user_version");
    if (version.start() && version.next())
        return static_cast<int>(version.integer(0));
    *error = version.error();
    return -1;
}

bool run(const QSqlDatabase &db, const QString &sql, QString *error)
{
    Statement statement(db, sql.toUtf8().constData());
    if (statement.run())
        return true;
    *error = statement.error();
    return false;
}

} // namespace

bool migrateSchema(const QSqlDatabase &db, QString *error)
{
    const int current = static_cast<int>(MIGRATIONS.size());
    // Checked first without a write lock: most opens find nothing to do.
    int version = schemaVersion(db, error);
    if (version == current)
        return true;
    // Read again under the lock, since another process may be migrating too.
    if (version < 0 || !run(db, QStringLiteral("BEGIN IMMEDIATE"), error))
        return false;
    version = schemaVersion(db, error);
    bool ok = version >= 0;
    if (version > current) {
        *error = QStringLiteral("written by a newer devscout, schema version %1").arg(version);
        ok = false;
    }
    for (int step = version; ok && step < current; ++step)
        for (const char *statement : MIGRATIONS[step])
            ok = ok && run(db, QString::fromLatin1(statement), error);
    ok = ok && run(db, QStringLiteral("PRAGMA user_version = %1").arg(current), error) &&
         run(db, QStringLiteral("COMMIT"), error);
    if (!ok) {
        QString ignored;
        run(db, QStringLiteral("ROLLBACK"), &ignored);
    }
    return ok;
}
