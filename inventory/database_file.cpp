// SPDX-License-Identifier: GPL-3.0-or-later
#include "database_file.h"

#include "schema.h"
#include "statement.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <cstdio>
#include <sqlite3.h>

namespace
{

constexpr char MEMORY[] = ":memory:";

enum class Outcome { Open, Unreadable, Failed };

// Busy or locked: another connection holds the file, which is fine.
Outcome failure(int code, const QString &why, QString *reason)
{
    *reason = why;
    return code == SQLITE_BUSY || code == SQLITE_LOCKED ? Outcome::Failed : Outcome::Unreadable;
}

// SQLite reads the file lazily: a file of garbage shows only here.
Outcome checkFile(const QSqlDatabase &db, QString *reason)
{
    Statement check(db, "PRAGMA quick_check");
    if (!check.start() || !check.next())
        return failure(check.errorCode(), check.error(), reason);
    if (check.text(0) != QLatin1String("ok"))
        return failure(SQLITE_CORRUPT, check.text(0).simplified().left(200), reason);
    return Outcome::Open;
}

Outcome setUp(QSqlDatabase &db, QString *reason)
{
    // Without Qt's SQLite driver no file can be read: that says nothing
    // about the file.
    if (!db.isValid()) {
        *reason = QStringLiteral("Qt's SQLite driver is not installed");
        return Outcome::Failed;
    }
    if (!db.open())
        return failure(db.lastError().nativeErrorCode().toInt() & 0xff,
                       db.lastError().databaseText(), reason);
    // The time-out first, so that everything after it waits for other
    // writers.
    for (const char *pragma : {"PRAGMA busy_timeout = 5000", "PRAGMA foreign_keys = ON"}) {
        Statement statement(db, pragma);
        if (!statement.run())
            return failure(statement.errorCode(), statement.error(), reason);
    }
    if (const Outcome checked = checkFile(db, reason); checked != Outcome::Open)
        return checked;
    // Readers then never wait for the writer; a database in memory stays as
    // it is. With WAL a commit stays whole without a sync of its own: a power
    // cut may lose the latest runs, never leave half of one. The cache holds
    // a run of ten thousand devices without spilling pages before its commit.
    for (const char *pragma :
         {"PRAGMA journal_mode = WAL", "PRAGMA synchronous = NORMAL", "PRAGMA cache_size = -32768"})
        Statement(db, pragma).run();
    return migrateSchema(db, reason) ? Outcome::Open : Outcome::Failed;
}

// Renames path and its -wal and -shm files to one free time-stamped name;
// returns that name, or empty when path could not be moved.
QString moveAside(const QString &path)
{
    const QString stamp =
        QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMdd'T'HHmmss'Z'"));
    for (int attempt = 1; attempt < 100; ++attempt) {
        QString aside = path + QStringLiteral(".corrupt-") + stamp;
        if (attempt > 1)
            aside += QStringLiteral("-%1").arg(attempt);
        if (QFileInfo::exists(aside))
            continue;
        if (!QFile::rename(path, aside))
            return {};
        for (const char *suffix : {"-wal", "-shm"})
            QFile::rename(path + QLatin1String(suffix), aside + QLatin1String(suffix));
        return aside;
    }
    return {};
}

QString say(const QString &line)
{
    std::fprintf(stderr, "%s\n", line.toLocal8Bit().constData());
    return line;
}

} // namespace

bool openInventoryFile(const QString &connection, const QString &path, QString *line)
{
    QSqlDatabase db = QSqlDatabase::database(connection, false);
    const bool memory = path == QLatin1String(MEMORY);
    if (!memory)
        QDir().mkpath(QFileInfo(path).absolutePath());
    db.setDatabaseName(path);
    QString reason;
    const Outcome outcome = setUp(db, &reason);
    if (outcome == Outcome::Open)
        return true;
    db.close();
    if (outcome == Outcome::Failed || memory || !QFileInfo::exists(path)) {
        *line = say(QStringLiteral("devscout: inventory %1 cannot be opened (%2); nothing is "
                                   "remembered")
                        .arg(path, reason));
        return false;
    }
    const QString aside = moveAside(path);
    if (aside.isEmpty()) {
        *line = say(QStringLiteral("devscout: inventory %1 is unreadable (%2) and cannot be "
                                   "moved aside; nothing is remembered")
                        .arg(path, reason));
        return false;
    }
    QString again;
    if (setUp(db, &again) == Outcome::Open) {
        *line = say(QStringLiteral("devscout: inventory %1 is unreadable (%2); moved it to %3 "
                                   "and started a new one")
                        .arg(path, reason, aside));
        return true;
    }
    db.close();
    *line = say(QStringLiteral("devscout: inventory %1 is unreadable (%2); moved it to %3, but a "
                               "new one cannot be started (%4)")
                    .arg(path, reason, aside, again));
    return false;
}
