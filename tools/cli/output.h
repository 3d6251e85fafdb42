// SPDX-License-Identifier: GPL-3.0-or-later
// What discover prints: one row per device, in a table, JSON or CSV. Each
// format stays valid and readable back to the bytes whatever a device sends:
// bytes 0x80-0xFF become their Latin-1 characters in UTF-8, control bytes
// become escapes.
#pragma once

#include "discover.h"

#include <string>
#include <vector>

struct DeviceRow {
    DiscoverEntry entry;
    std::string interface; // empty when found through the wildcard address
    std::string conflict;  // other MACs at its address (at most 32), space-separated
};

// How many of the other devices at a shared address a row names at most.
constexpr size_t MAX_CONFLICTS_NAMED = 32;

// Fills in each row's conflict from the rows that share its address.
void mark_conflicts(std::vector<DeviceRow> *rows);

enum class OutputFormat {
    Table, // aligned columns under a title line
    Json,  // an array of objects; the conflict is an array of MACs
    Csv,   // RFC 4180 with a header line
};

// Columns: ip, netmask, mac, hostname, firmware, interface, conflict. In the
// table and CSV, control bytes (C0, DEL, C1) show as \xHH and the backslash
// is doubled; in JSON they are \u00XX.
std::string format_rows(const std::vector<DeviceRow> &rows, OutputFormat format);
