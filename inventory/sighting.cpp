// SPDX-License-Identifier: GPL-3.0-or-later
#include "sighting.h"

#include "text.h"

#include <cstring>

namespace
{

template <size_t N> QString latin1_field(const char (&field)[N])
{
    return QString::fromLatin1(field, static_cast<qsizetype>(strnlen(field, N)));
}

QString address_text(in_addr address)
{
    char text[INET_ADDRSTRLEN];
    return QString::fromLatin1(format_ipv4(address, text));
}

} // namespace

QString mac_key(const ether_addr &mac)
{
    char text[MAC_TEXT_SIZE];
    return QString::fromLatin1(format_mac(mac, MacForm::Padded, text));
}

Sighting sighting_of(const DiscoverEntry &entry, const char *interface)
{
    return {mac_key(entry.mac),           address_text(entry.ipaddr),
            address_text(entry.netmask),  latin1_field(entry.hostname),
            latin1_field(entry.firmware), QString::fromLatin1(interface)};
}
