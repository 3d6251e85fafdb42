// SPDX-License-Identifier: GPL-3.0-or-later
#include "output.h"

#include "values.h"
#include "vendors.h"

#include <algorithm>
#include <cstdio>
#include <unordered_map>

namespace
{

enum class Kind {
    Bytes, // a device's 8-bit text: each byte a Latin-1 character
    Text,  // UTF-8 already
    List,  // words separated by spaces, a JSON array
};

struct Field {
    const char *key;   // JSON member and CSV header
    const char *title; // table header
    std::string text;
    Kind kind = Kind::Bytes;
    bool null = false; // not known: JSON null, empty elsewhere
};
using Record = std::vector<Field>;

std::string utf8(const QString &text)
{
    return text.toUtf8().toStdString();
}

// The inventory keeps a device's bytes as the Latin-1 characters they are.
std::string bytes(const QString &text)
{
    return text.toLatin1().toStdString();
}

// The one column order of each listing.
Record device_fields(const DeviceRow &row)
{
    const DiscoverEntry &e = row.entry;
    const bool unknown = !row.remembered;
    return {
        {"ip", "IP", ipv4_text(e.ipaddr)},
        {"netmask", "Netmask", ipv4_text(e.netmask)},
        {"mac", "MAC", mac_text(e.mac)},
        {"hostname", "Hostname", e.hostname},
        {"firmware", "Firmware", e.firmware},
        {"interface", "Interface", row.interface},
        {"conflict", "Conflict", row.conflict, Kind::List},
        {"vendor", "Vendor", row.vendor, Kind::Text},
        {"state", "State", row.state, Kind::Text, unknown},
        {"first_seen", "First seen", row.first_seen, Kind::Text, unknown},
        {"last_seen", "Last seen", row.last_seen, Kind::Text, unknown},
    };
}

Record remembered_fields(const RememberedDevice &device)
{
    return {
        {"ip", "IP", bytes(device.address)},
        {"netmask", "Netmask", bytes(device.netmask)},
        {"mac", "MAC", bytes(device.mac)},
        {"hostname", "Hostname", bytes(device.hostname)},
        {"firmware", "Firmware", bytes(device.firmware)},
        {"interface", "Interface", bytes(device.interface)},
        {"vendor", "Vendor", utf8(vendorForMac(device.mac)), Kind::Text},
        {"state", "State", utf8(stateWord(device.state)), Kind::Text},
        {"first_seen", "First seen", iso_time(device.firstSeen), Kind::Text},
        {"last_seen", "Last seen", iso_time(device.lastSeen), Kind::Text},
        {"name", "Name", utf8(device.name), Kind::Text},
        {"note", "Note", utf8(device.note), Kind::Text},
    };
}

bool is_control(unsigned char byte)
{
    return byte < 0x20 || (byte >= 0x7f && byte < 0xa0);
}

// For JSON the quote is escaped too and control characters are \u00XX; for
// the table and CSV they are \xHH. In UTF-8 text a C1 control (0xc2
// 0x80-0x9f) is escaped as the byte that stands for it in a device's text,
// and every other character is kept.
void append_text(std::string &out, const std::string &text, Kind kind, bool json)
{
    for (size_t i = 0; i < text.size(); ++i) {
        unsigned char byte = text[i];
        if (kind == Kind::Text && byte == 0xc2 && i + 1 < text.size() && is_control(text[i + 1])) {
            byte = text[++i];
        } else if (kind == Kind::Text && byte >= 0x80) {
            out += static_cast<char>(byte);
            continue;
        }
        if (byte == '\\' || (json && byte == '"')) {
            out += '\\';
            out += static_cast<char>(byte);
        } else if (is_control(byte)) {
            char escape[7];
            std::snprintf(escape, sizeof(escape), json ? "\\u%04x" : "\\x%02x", byte);
            out += escape;
        } else if (byte < 0x80) {
            out += static_cast<char>(byte);
        } else {
            out += static_cast<char>(0xc0 | (byte >> 6));
            out += static_cast<char>(0x80 | (byte & 0x3f));
        }
    }
}

void append_json_string(std::string &out, const std::string &text, Kind kind)
{
    out += '"';
    append_text(out, text, kind, true);
    out += '"';
}

// ["a", "b"] from "a b"; [] from "".
void append_json_list(std::string &out, const std::string &words)
{
    out += '[';
    for (size_t start = 0; start < words.size();) {
        size_t end = std::min(words.find(' ', start), words.size());
        if (start > 0)
            out += ", ";
        append_json_string(out, words.substr(start, end - start), Kind::Bytes);
        start = end + 1;
    }
    out += ']';
}

// "key": value, ... without the braces.
void append_json_members(std::string &out, const Record &fields)
{
    for (size_t f = 0; f < fields.size(); ++f) {
        if (f > 0)
            out += ", ";
        append_json_string(out, fields[f].key, Kind::Text);
        out += ": ";
        if (fields[f].null)
            out += "null";
        else if (fields[f].kind == Kind::List)
            append_json_list(out, fields[f].text);
        else
            append_json_string(out, fields[f].text, fields[f].kind);
    }
}

std::string format_json(const std::vector<Record> &records)
{
    std::string out = "[";
    for (size_t i = 0; i < records.size(); ++i) {
        out += i == 0 ? "\n  {" : ",\n  {";
        append_json_members(out, records[i]);
        out += '}';
    }
    out += records.empty() ? "]\n" : "\n]\n";
    return out;
}

// A field is quoted only when it holds a comma or a quote; CR and LF never
// occur since the escaping has turned them into \x0d and \x0a.
void append_csv_field(std::string &out, const Field &field)
{
    std::string text;
    append_text(text, field.text, field.kind, false);
    if (text.find_first_of(",\"") == std::string::npos) {
        out += text;
        return;
    }
    out += '"';
    for (char c : text) {
        if (c == '"')
            out += '"';
        out += c;
    }
    out += '"';
}

std::string format_csv(const Record &header, const std::vector<Record> &records)
{
    std::string out;
    for (size_t f = 0; f < header.size(); ++f) {
        if (f > 0)
            out += ',';
        out += header[f].key;
    }
    out += "\r\n";
    for (const Record &fields : records) {
        for (size_t f = 0; f < fields.size(); ++f) {
            if (f > 0)
                out += ',';
            append_csv_field(out, fields[f]);
        }
        out += "\r\n";
    }
    return out;
}

// Characters (not bytes) in UTF-8 text, for aligning columns.
size_t utf8_length(const std::string &text)
{
    size_t count = 0;
    for (unsigned char byte : text)
        if ((byte & 0xc0) != 0x80)
            ++count;
    return count;
}

std::string format_table(const Record &header, const std::vector<Record> &records)
{
    std::vector<std::vector<std::string>> cells(1);
    std::vector<size_t> widths;
    for (const Field &field : header) {
        cells.back().push_back(field.title);
        widths.push_back(utf8_length(field.title));
    }
    for (const Record &fields : records) {
        std::vector<std::string> &line = cells.emplace_back(fields.size());
        for (size_t f = 0; f < fields.size(); ++f) {
            append_text(line[f], fields[f].text, fields[f].kind, false);
            widths[f] = std::max(widths[f], utf8_length(line[f]));
        }
    }

    std::string out;
    for (const auto &line : cells) {
        // Empty last columns get no padding before them, so a line ends
        // with its last text.
        size_t count = line.size();
        while (count > 0 && line[count - 1].empty())
            --count;
        for (size_t f = 0; f < count; ++f) {
            out += line[f];
            if (f + 1 < count)
                out.append(widths[f] - utf8_length(line[f]) + 2, ' ');
        }
        out += '\n';
    }
    return out;
}

std::string format_records(const Record &header, const std::vector<Record> &records,
                           OutputFormat format)
{
    switch (format) {
    case OutputFormat::Json:
        return format_json(records);
    case OutputFormat::Csv:
        return format_csv(header, records);
    case OutputFormat::Table:
        break;
    }
    return format_table(header, records);
}

} // namespace

void mark_conflicts(std::vector<DeviceRow> *rows)
{
    // Grouped first: thousands of devices would make comparing every pair slow.
    std::unordered_map<uint32_t, std::vector<DeviceRow *>> by_address;
    for (DeviceRow &row : *rows)
        by_address[row.entry.ipaddr.s_addr].push_back(&row);
    for (const auto &group : by_address) {
        for (DeviceRow *row : group.second) {
            size_t named = 0;
            for (const DeviceRow *other : group.second) {
                // A peer posing as thousands of devices on one address would
                // otherwise make the output grow with their square.
                if (other == row || named == MAX_CONFLICTS_NAMED)
                    continue;
                ++named;
                if (!row->conflict.empty())
                    row->conflict += ' ';
                row->conflict += mac_text(other->entry.mac);
            }
        }
    }
}

std::string format_rows(const std::vector<DeviceRow> &rows, OutputFormat format)
{
    std::vector<Record> records;
    for (const DeviceRow &row : rows)
        records.push_back(device_fields(row));
    return format_records(device_fields(DeviceRow{}), records, format);
}

std::string format_remembered(const QList<RememberedDevice> &devices, OutputFormat format)
{
    std::vector<Record> records;
    for (const RememberedDevice &device : devices)
        records.push_back(remembered_fields(device));
    return format_records(remembered_fields(RememberedDevice{}), records, format);
}

std::string format_event_line(const std::string &event, const QDateTime &at,
                              const RememberedDevice &device)
{
    Record fields = {{"event", "", event, Kind::Text}, {"at", "", iso_time(at), Kind::Text}};
    const Record columns = remembered_fields(device);
    fields.insert(fields.end(), columns.begin(), columns.end());
    std::string out = "{";
    append_json_members(out, fields);
    if (event == "changed") {
        out += ", \"changes\": [";
        for (qsizetype i = 0; i < device.changes.size(); ++i) {
            const FieldChange &change = device.changes[i];
            out += i == 0 ? "{" : ", {";
            append_json_members(out, {{"field", "", utf8(change.field), Kind::Text},
                                      {"old", "", bytes(change.from)},
                                      {"new", "", bytes(change.to)}});
            out += '}';
        }
        out += ']';
    }
    out += "}\n";
    return out;
}

std::string iso_time(const QDateTime &time)
{
    return time.isValid() ? utf8(time.toUTC().toString(Qt::ISODate)) : std::string();
}
