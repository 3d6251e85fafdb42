// SPDX-License-Identifier: GPL-3.0-or-later
// Rows of named fields as an aligned table, JSON or CSV: the one way the
// command line prints devices and the window exports them. Each format stays
// valid and readable back to the bytes whatever a device sends: bytes
// 0x80-0xFF become their Latin-1 characters in UTF-8, control bytes become
// escapes. Texts that are UTF-8 already (vendors, names, notes) keep their
// characters, control characters escaped the same way.
#pragma once

#include <QDateTime>
#include <string>
#include <vector>

enum class OutputFormat {
    Table, // aligned columns under a title line
    Json,  // an array of objects; a list is an array
    Csv,   // RFC 4180 with a header line
};

enum class FieldKind {
    Bytes, // a device's 8-bit text: each byte a Latin-1 character
    Text,  // UTF-8 already
    List,  // words separated by spaces, a JSON array
    Bare,  // a number, true or false: as it is, unquoted in JSON
};

struct Field {
    const char *key;   // JSON member and CSV header
    const char *title; // table header
    std::string text;
    FieldKind kind = FieldKind::Bytes;
    bool null = false; // not known: JSON null, empty elsewhere
};
using Record = std::vector<Field>;

// The records under header's keys (JSON, CSV) or titles (table). In the
// table and CSV, control characters (C0, DEL, C1) show as \xHH and the
// backslash is doubled; in JSON they are \u00XX.
std::string format_records(const Record &header, const std::vector<Record> &records,
                           OutputFormat format);
// One text as the table shows it: escaped, bytes as Latin-1 characters.
std::string table_text(const std::string &text, FieldKind kind);
// "key": value, ... of one JSON object, without the braces.
void append_json_members(std::string &out, const Record &fields);
// ISO 8601 in UTC to the second, e.g. 2026-12-07T03:22:32Z; empty for an
// invalid time.
std::string iso_time(const QDateTime &time);
