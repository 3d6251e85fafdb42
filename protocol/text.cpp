// SPDX-License-Identifier: GPL-3.0-or-later
#include "text.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstring>

const char *format_mac(const ether_addr &mac, MacForm form, char out[MAC_TEXT_SIZE])
{
    const uint8_t *b = mac.ether_addr_octet;
    const char *format =
        form == MacForm::Short ? "%x:%x:%x:%x:%x:%x" : "%02x:%02x:%02x:%02x:%02x:%02x";
    std::snprintf(out, MAC_TEXT_SIZE, format, b[0], b[1], b[2], b[3], b[4], b[5]);
    return out;
}

bool same_mac(const ether_addr &a, const ether_addr &b)
{
    return std::memcmp(&a, &b, sizeof(a)) == 0;
}

const char *format_ipv4(in_addr address, char out[INET_ADDRSTRLEN])
{
    return inet_ntop(AF_INET, &address, out, INET_ADDRSTRLEN);
}

static int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool parse_mac_text(const char *text, size_t length, ether_addr *mac)
{
    size_t pos = 0;
    for (int i = 0; i < 6; ++i) {
        if (i > 0) {
            if (pos >= length || text[pos] != ':')
                return false;
            ++pos;
        }
        int value = 0;
        int digits = 0;
        while (pos < length && digits < 2 && hex_digit(text[pos]) >= 0) {
            value = value * 16 + hex_digit(text[pos]);
            ++pos;
            ++digits;
        }
        if (digits == 0)
            return false;
        mac->ether_addr_octet[i] = static_cast<uint8_t>(value);
    }
    return pos == length;
}
