// SPDX-License-Identifier: GPL-3.0-or-later
// The list written out for other programs with the command line's fields
// and formats: ip, netmask, mac, hostname, firmware, interface, conflict,
// vendor, state, first_seen, last_seen, name, note, site.
#pragma once

#include "record_format.h"

#include <QByteArray>
#include <QList>

class HostItem;

QByteArray export_rows(const QList<const HostItem *> &rows, OutputFormat format);
