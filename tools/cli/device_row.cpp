#include "device_row.h"

#include "values.h"

#include <unordered_map>

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
