#include "device_row.h"

#include "values.h"

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
    }};
}
