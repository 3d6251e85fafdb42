// SPDX-License-Identifier: GPL-3.0-or-later
#include "output.h"

#include "values.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <unordered_map>

namespace
{

struct DeviceField {
    const char *key;   // JSON member and CSV header
    const char *title; // table header
    std::string bytes; // raw 8-bit text
    bool list = false; // words separated by spaces, a JSON array
};

constexpr int DEVICE_FIELD_COUNT = 7;
using DeviceFields = std::array<DeviceField, DEVICE_FIELD_COUNT>;

// The one column order of every format.
DeviceFields device_fields(const DeviceRow &row)
{
    const DiscoverEntry &e = row.entry;
    return {{
        {"ip", "IP", ipv4_text(e.ipaddr)},
        {"netmask", "Netmask", ipv4_text(e.netmask)},
        {"mac", "MAC", mac_text(e.mac)},
        {"hostname", "Hostname", e.hostname},
        {"firmware", "Firmware", e.firmware},
        {"interface", "Interface", row.interface},
        {"conflict", "Conflict", row.conflict, true},
    }};
}

bool is_control(unsigned char byte)
{
    return byte < 0x20 || (byte >= 0x7f && byte < 0xa0);
}

// For JSON the quote is escaped too and control bytes are \u00XX; for the
// table and CSV they are \xHH.
void append_text(std::string &out, const std::string &bytes, bool json)
{
    for (unsigned char byte : bytes) {
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

void append_json_string(std::string &out, const std::string &bytes)
{
    out += '"';
    append_text(out, bytes, true);
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
        append_json_string(out, words.substr(start, end - start));
        start = end + 1;
    }
    out += ']';
}

std::string format_json(const std::vector<DeviceRow> &rows)
{
    std::string out = "[";
    for (size_t i = 0; i < rows.size(); ++i) {
        out += i == 0 ? "\n  {" : ",\n  {";
        const DeviceFields fields = device_fields(rows[i]);
        for (size_t f = 0; f < fields.size(); ++f) {
            if (f > 0)
                out += ", ";
            append_json_string(out, fields[f].key);
            out += ": ";
            if (fields[f].list)
                append_json_list(out, fields[f].bytes);
            else
                append_json_string(out, fields[f].bytes);
        }
        out += '}';
    }
    out += rows.empty() ? "]\n" : "\n]\n";
    return out;
}

// A field is quoted only when it holds a comma or a quote; CR and LF never
// occur since the escaping has turned them into \x0d and \x0a.
void append_csv_field(std::string &out, const std::string &bytes)
{
    std::string text;
    append_text(text, bytes, false);
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

std::string format_csv(const std::vector<DeviceRow> &rows)
{
    std::string out;
    const DeviceFields header = device_fields(DeviceRow{});
    for (size_t f = 0; f < header.size(); ++f) {
        if (f > 0)
            out += ',';
        out += header[f].key;
    }
    out += "\r\n";
    for (const DeviceRow &row : rows) {
        const DeviceFields fields = device_fields(row);
        for (size_t f = 0; f < fields.size(); ++f) {
            if (f > 0)
                out += ',';
            append_csv_field(out, fields[f].bytes);
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

std::string format_table(const std::vector<DeviceRow> &rows)
{
    const DeviceFields header = device_fields(DeviceRow{});
    std::vector<std::array<std::string, DEVICE_FIELD_COUNT>> cells;
    std::array<size_t, DEVICE_FIELD_COUNT> widths{};
    cells.emplace_back();
    for (size_t f = 0; f < header.size(); ++f) {
        cells.back()[f] = header[f].title;
        widths[f] = utf8_length(cells.back()[f]);
    }
    for (const DeviceRow &row : rows) {
        const DeviceFields fields = device_fields(row);
        cells.emplace_back();
        for (size_t f = 0; f < fields.size(); ++f) {
            append_text(cells.back()[f], fields[f].bytes, false);
            widths[f] = std::max(widths[f], utf8_length(cells.back()[f]));
        }
    }

    std::string out;
    for (const auto &line : cells) {
        // An empty last column (no conflict) gets no padding before it, so
        // such a line ends with its interface.
        const size_t count = line.back().empty() ? line.size() - 1 : line.size();
        std::string text;
        for (size_t f = 0; f < count; ++f) {
            text += line[f];
            if (f + 1 < count)
                text.append(widths[f] - utf8_length(line[f]) + 2, ' ');
        }
        out += text;
        out += '\n';
    }
    return out;
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
    switch (format) {
    case OutputFormat::Json:
        return format_json(rows);
    case OutputFormat::Csv:
        return format_csv(rows);
    case OutputFormat::Table:
        break;
    }
    return format_table(rows);
}
