// SPDX-License-Identifier: GPL-3.0-or-later
#include "text.h"

#include <arpa/inet.h>
#include <cstdio>

const char *format_mac(const ether_addr &mac, MacForm form, char out[MAC_TEXT_SIZE])
{
    const uint8_t *b = mac.ether_addr_octet;
    const char *format =
        form == MacForm::Short ? "%x:%x:%x:%x:%x:%x" : "%02x:%02x:%02x:%02x:%02x:%02x";
    std::snprintf(out, MAC_TEXT_SIZE, format, b[0], b[1], b[2], b[3], b[4], b[5]);
    return out;
}

const char *format_ipv4(in_addr address, char out[INET_ADDRSTRLEN])
{
    return inet_ntop(AF_INET, &address, out, INET_ADDRSTRLEN);
}
