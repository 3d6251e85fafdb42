// SPDX-License-Identifier: GPL-3.0-or-later
// The discover formats read back: JSON, CSV and the table give every byte of
// a device's texts back, and name the other devices at a shared address.
#include "output.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QVariant>
#include <algorithm>
#include <arpa/inet.h>
#include <cstring>
#include <gtest/gtest.h>
#include <iterator>
#include <numeric>
#include <set>
#include <sstream>

using Records = std::vector<std::vector<std::string>>;
static const Records UNREADABLE = {{"unreadable"}};

// The texts go into the record's NUL-terminated fields as a reply puts them.
static DeviceRow device(int number, const char *ip, const std::string &host = "",
                        const std::string &firmware = "")
{
    DeviceRow row{};
    inet_pton(AF_INET, ip, &row.entry.ipaddr);
    inet_pton(AF_INET, "255.255.0.0", &row.entry.netmask);
    row.entry.mac = {{0x02, 0xaa, 0, 0, 0, static_cast<uint8_t>(number)}};
    std::memcpy(row.entry.hostname, host.data(), host.size());
    std::memcpy(row.entry.firmware, firmware.data(), firmware.size());
    row.interface = "lo";
    return row;
}

// Text of Latin-1 characters as one byte each; false when it is not.
static bool latin1(const QString &text, std::string *out)
{
    if (std::any_of(text.begin(), text.end(), [](QChar c) { return c.unicode() > 0xff; }))
        return false;
    *out = text.toLatin1().toStdString();
    return true;
}

// A table or CSV text back to bytes: \\ and \xHH escapes; false on a raw
// control character or a stray backslash.
static bool unescape(const std::string &text, std::string *out)
{
    for (size_t i = 0; i < text.size(); ++i) {
        unsigned char c = text[i];
        if (c < 0x20 || (c >= 0x7f && c < 0xa0))
            return false;
        if (c == '\\' && text.compare(i + 1, 1, "\\") == 0) {
            ++i;
        } else if (c == '\\') {
            const std::string hex = text.substr(i + 1, 3);
            if (hex.size() != 3 || hex[0] != 'x' ||
                hex.find_first_not_of("0123456789abcdef", 1) != std::string::npos)
                return false;
            c = std::stoul(hex.substr(1), nullptr, 16);
            i += 3;
        }
        *out += static_cast<char>(c);
    }
    return true;
}

// Objects of exactly these keys: the texts as strings of Latin-1
// characters, the conflict as an array.
static Records read_json(const std::string &utf8)
{
    const char *const keys[] = {"ip",       "netmask",    "mac",      "hostname",
                                "firmware", "interface",  "conflict", "vendor",
                                "state",    "first_seen", "last_seen"};
    Records records;
    for (const QJsonValue value :
         QJsonDocument::fromJson(QByteArray::fromStdString(utf8)).array()) {
        std::vector<std::string> &record = records.emplace_back();
        for (size_t k = 0; k < std::size(keys); ++k) {
            const QJsonValue field = value.toObject().value(QLatin1String(keys[k]));
            const bool conflict = k == 6;
            const QString text =
                conflict ? field.toVariant().toStringList().join(' ') : field.toString();
            // A row no inventory remembers has null state and times.
            const bool text_field = field.isString() || (k >= 8 && field.isNull());
            if (value.toObject().size() != std::ssize(keys) ||
                (conflict ? !field.isArray() : !text_field) ||
                !latin1(text, &record.emplace_back()))
                return UNREADABLE;
        }
    }
    return records;
}

// RFC 4180 records of unescaped fields after the header; each CRLF ends a
// record, since a raw CR or LF never belongs in a field.
static Records read_csv(const std::string &utf8)
{
    std::string text;
    Records records;
    if (!latin1(QString::fromStdString(utf8), &text))
        return UNREADABLE;
    for (size_t start = text.find("\r\n") + 2, end; start < text.size(); start = end + 2) {
        if ((end = text.find("\r\n", start)) == std::string::npos)
            return UNREADABLE;
        const std::string line = text.substr(start, end - start);
        std::vector<std::string> &record = records.emplace_back();
        for (size_t i = 0; i <= line.size(); ++i) { // at the start of a field
            std::string field;
            if (line[i] == '"') {
                for (++i; i < line.size() && (line[i] != '"' || line[i + 1] == '"'); ++i)
                    field += line[line[i] == '"' ? i++ : i];
                if (i++ == line.size())
                    return UNREADABLE;
            } else {
                for (; i < line.size() && line[i] != ',' && line[i] != '"'; ++i)
                    field += line[i];
            }
            if ((i < line.size() && line[i] != ',') || !unescape(field, &record.emplace_back()))
                return UNREADABLE;
        }
    }
    return records;
}

// Each cell runs from its title's column to the next one's, less the
// padding: readable back unless a text ends in spaces.
static Records read_table(const std::string &utf8)
{
    std::string text, line;
    Records records;
    if (!latin1(QString::fromStdString(utf8), &text))
        return UNREADABLE;
    std::istringstream lines(text);
    std::getline(lines, line);
    std::vector<size_t> columns;
    for (size_t i = 0; i < line.size(); ++i)
        if (line[i] != ' ' && (i == 0 || (i >= 2 && line.compare(i - 2, 2, "  ") == 0)))
            columns.push_back(i);
    while (std::getline(lines, line) && columns.size() == 11) {
        line.resize(std::max(line.size(), columns.back()), ' ');
        std::vector<std::string> &record = records.emplace_back();
        for (size_t f = 0; f < columns.size(); ++f) {
            std::string cell =
                line.substr(columns[f], f + 1 < columns.size() ? columns[f + 1] - columns[f]
                                                               : std::string::npos);
            if (!unescape(cell.erase(cell.find_last_not_of(' ') + 1), &record.emplace_back()))
                return UNREADABLE;
        }
    }
    return records;
}

TEST(OutputTest, EveryFormatGivesBackEveryByte)
{
    // Every byte but NUL, forwards and backwards; a NUL ends a text.
    std::string all(255, '\0');
    std::iota(all.begin(), all.end(), 1);
    const std::string backwards(all.rbegin(), all.rend());
    std::vector<DeviceRow> rows = {device(1, "127.2.0.1", all, backwards),
                                   device(2, "127.2.0.2", '\0' + all, std::string("a,b\0cd", 6))};
    rows[0].conflict = "02:aa:00:00:00:03 02:aa:00:00:00:04";
    rows[1].interface = ""; // the wildcard's
    // A vendor is UTF-8 text: every character up to U+00FF comes back too.
    rows[0].vendor = QString::fromLatin1(all.data(), all.size()).toUtf8().toStdString();
    const Records expected = {
        {"127.2.0.1", "255.255.0.0", "02:aa:00:00:00:01", all, backwards, "lo", rows[0].conflict,
         all, "", "", ""},
        {"127.2.0.2", "255.255.0.0", "02:aa:00:00:00:02", "", "a,b", "", "", "", "", "", ""},
    };
    const std::pair<OutputFormat, Records (*)(const std::string &)> formats[] = {
        {OutputFormat::Json, read_json},
        {OutputFormat::Csv, read_csv},
        {OutputFormat::Table, read_table}};
    for (const auto &[format, read] : formats) {
        const std::string text = format_rows(rows, format);
        EXPECT_EQ(read(text), expected) << text;
    }
}

// A peer posing as many devices on one address must not make each row list
// them all: each names 32 others, never itself.
TEST(OutputTest, SharedAddressNamesAtMost32Others)
{
    std::vector<DeviceRow> rows;
    for (int i = 0; i <= 40; ++i)
        rows.push_back(device(i, i < 40 ? "127.2.0.1" : "127.2.0.2"));
    mark_conflicts(&rows);
    const Records records = read_csv(format_rows(rows, OutputFormat::Csv));
    ASSERT_EQ(records.size(), rows.size());
    for (size_t i = 0; i < records.size(); ++i) {
        std::istringstream words(records[i][6]);
        std::vector<std::string> named{std::istream_iterator<std::string>(words), {}};
        std::sort(named.begin(), named.end());
        std::set<std::string> others; // the MACs of the rest of its group
        for (size_t j = 0; j < 40 && i < 40; ++j)
            if (j != i)
                others.insert(records[j][2]);
        EXPECT_EQ(named.size(), i < 40 ? 32u : 0u) << records[i][6];
        // A name given twice would need two in the set.
        EXPECT_TRUE(std::includes(others.begin(), others.end(), named.begin(), named.end()))
            << records[i][6];
    }
}
