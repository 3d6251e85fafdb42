// SPDX-License-Identifier: GPL-3.0-or-later
// The inventory's tables, and the steps that bring a file of an older version
// up to date.
#pragma once

class QSqlDatabase;
class QString;

// Brings the file's schema to the current version in one transaction. False,
// with *error set, when it cannot; a file of a newer version is left as it is.
bool migrateSchema(const QSqlDatabase &db, QString *error);
