// SPDX-License-Identifier: GPL-3.0-or-later
#include "output.h"

#include "values.h"
#include "vendors.h"

#include <unordered_map>

namespace
{

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
        {"conflict", "Conflict", row.conflict, FieldKind::List},
        {"vendor", "Vendor", row.vendor, FieldKind::Text},
        {"state", "State", row.state, FieldKind::Text, unknown},
        {"first_seen", "First seen", row.first_seen, FieldKind::Text, unknown},
        {"last_seen", "Last seen", row.last_seen, FieldKind::Text, unknown},
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
        {"vendor", "Vendor", utf8(vendorForMac(device.mac)), FieldKind::Text},
        {"state", "State", utf8(stateWord(device.state)), FieldKind::Text},
        {"first_seen", "First seen", iso_time(device.firstSeen), FieldKind::Text},
        {"last_seen", "Last seen", iso_time(device.lastSeen), FieldKind::Text},
        {"name", "Name", utf8(device.name), FieldKind::Text},
        {"note", "Note", utf8(device.note), FieldKind::Text},
        {"site", "Site", utf8(device.site), FieldKind::Text},
    };
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
    Record fields = {{"event", "", event, FieldKind::Text},
                     {"at", "", iso_time(at), FieldKind::Text}};
    const Record columns = remembered_fields(device);
    fields.insert(fields.end(), columns.begin(), columns.end());
    std::string out = "{";
    append_json_members(out, fields);
    if (event == "changed") {
        out += ", \"changes\": [";
        for (qsizetype i = 0; i < device.changes.size(); ++i) {
            const FieldChange &change = device.changes[i];
            out += i == 0 ? "{" : ", {";
            append_json_members(out, {{"field", "", utf8(change.field), FieldKind::Text},
                                      {"old", "", bytes(change.from)},
                                      {"new", "", bytes(change.to)}});
            out += '}';
        }
        out += ']';
    }
    out += "}\n";
    return out;
}
