// SPDX-License-Identifier: GPL-3.0-or-later
// The devices table as the library reads it, and the times it stores:
// milliseconds since the epoch, UTC.
#pragma once

#include "inventory.h"

class QSqlDatabase;

QDateTime timeFromStored(qint64 ms);

// Every remembered device in MAC order, a changed one with what changed.
// False, with *error set, when the file cannot be read.
bool readDevices(const QSqlDatabase &db, QList<RememberedDevice> *out, QString *error);
