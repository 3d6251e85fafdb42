// SPDX-License-Identifier: GPL-3.0-or-later
#include "record_format.h"

#include <algorithm>
#include <cstdio>

namespace
{

bool is_control(unsigned char byte)
{
    return byte < 0x20 || (byte >= 0x7f && byte < 0xa0);
}

// For JSON the quote is escaped too and control characters are \u00XX; for
// the table and CSV they are \xHH. In UTF-8 text a C1 control (0xc2
// 0x80-0x9f) is escaped as the byte that stands for it in a device's text,
// and every other character is kept.
void append_text(std::string &out, const std::string &text, FieldKind kind, bool json)
{
    for (size_t i = 0; i < text.size(); ++i) {
        unsigned char byte = text[i];
        if (kind == FieldKind::Text && byte == 0xc2 && i + 1 < text.size() &&
            is_control(text[i + 1])) {
            byte = text[++i];
        } else if (kind == FieldKind::Text && byte >= 0x80) {
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

void append_json_string(std::string &out, const std::string &text, FieldKind kind)
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
        append_json_string(out, words.substr(start, end - start), FieldKind::Bytes);
        start = end + 1;
    }
    out += ']';
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

} // namespace

std::string table_text(const std::string &text, FieldKind kind)
{
    std::string out;
    append_text(out, text, kind, false);
    return out;
}

void append_json_members(std::string &out, const Record &fields)
{
    for (size_t f = 0; f < fields.size(); ++f) {
        if (f > 0)
            out += ", ";
        append_json_string(out, fields[f].key, FieldKind::Text);
        out += ": ";
        if (fields[f].null)
            out += "null";
        else if (fields[f].kind == FieldKind::List)
            append_json_list(out, fields[f].text);
        else if (fields[f].kind == FieldKind::Bare)
            out += fields[f].text;
        else
            append_json_string(out, fields[f].text, fields[f].kind);
    }
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

std::string iso_time(const QDateTime &time)
{
    return time.isValid() ? time.toUTC().toString(Qt::ISODate).toStdString() : std::string();
}
