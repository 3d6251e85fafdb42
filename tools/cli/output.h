// SPDX-License-Identifier: GPL-3.0-or-later
// What discover and inventory print: one row per device, in a table, JSON or
// CSV; and the watch's event lines. Each format stays valid and readable back
// to the bytes whatever a device sends: bytes 0x80-0xFF become their Latin-1
// characters in UTF-8, control bytes become escapes. Texts that are UTF-8
// already (vendors, names, notes) keep their characters, control characters
// escaped the same way.
#pragma once

#include "discover.h"
#include "inventory.h"
#include "record_format.h"

#include <string>
#include <vector>

struct DeviceRow {
    DiscoverEntry entry;
    std::string interface; // empty when found through the wildcard address
    std::string conflict;  // other MACs at its address (at most 32), space-separated
    std::string vendor;    // UTF-8
    // What the inventory made of the device; false without one
    // (--no-inventory, or a run it could not record).
    bool remembered = false;
    std::string state;
    std::string first_seen; // ISO 8601 UTC
    std::string last_seen;
};

// How many of the other devices at a shared address a row names at most.
constexpr size_t MAX_CONFLICTS_NAMED = 32;

// Fills in each row's conflict from the rows that share its address.
void mark_conflicts(std::vector<DeviceRow> *rows);

// Columns: ip, netmask, mac, hostname, firmware, interface, conflict, vendor,
// state, first_seen, last_seen. In the table and CSV, control characters (C0,
// DEL, C1) show as \xHH and the backslash is doubled; in JSON they are
// \u00XX, and the inventory's columns are null for a row not remembered.
std::string format_rows(const std::vector<DeviceRow> &rows, OutputFormat format);

// The inventory's devices: ip, netmask, mac, hostname, firmware, interface,
// vendor, state, first_seen, last_seen, name, note, site.
std::string format_remembered(const QList<RememberedDevice> &devices, OutputFormat format);

// One line of JSON for the watch: {"event": event, "at": at, the device's
// inventory columns, and for "changed" the changes as [{"field": ..., "old":
// ..., "new": ...}]}.
std::string format_event_line(const std::string &event, const QDateTime &at,
                              const RememberedDevice &device);
