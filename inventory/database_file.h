// SPDX-License-Identifier: GPL-3.0-or-later
// Opening the inventory's file: one that is unreadable or corrupt is moved
// aside under a time-stamped name, never deleted, and a fresh one started.
#pragma once

#include <QString>

// Opens path (":memory:" for a database that is never stored) as the
// QSqlDatabase connection named connection, which must exist already:
// with a busy time-out, foreign keys, WAL and the current schema. Returns
// whether it is open; *line is the one line it wrote on stderr, if any.
bool openInventoryFile(const QString &connection, const QString &path, QString *line);
