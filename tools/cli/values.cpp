// SPDX-License-Identifier: GPL-3.0-or-later
#include "values.h"

#include "text.h"

#include <arpa/inet.h>
#include <cstdint>

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

bool parse_mac(const std::string &text, ether_addr *mac)
{
    size_t pos = 0;
    for (int i = 0; i < 6; ++i) {
        if (i > 0) {
            if (pos >= text.size() || text[pos] != ':')
                return false;
            ++pos;
        }
        int value = 0;
        int digits = 0;
        while (pos < text.size() && digits < 2 && hex_digit(text[pos]) >= 0) {
            value = value * 16 + hex_digit(text[pos]);
            ++pos;
            ++digits;
        }
        if (digits == 0)
            return false;
        mac->ether_addr_octet[i] = static_cast<uint8_t>(value);
    }
    return pos == text.size();
}

bool parse_ipv4(const std::string &text, in_addr *addr)
{
    return inet_pton(AF_INET, text.c_str(), addr) == 1;
}

std::string mac_text(const ether_addr &mac)
{
    char text[MAC_TEXT_SIZE];
    return format_mac(mac, MacForm::Padded, text);
}

std::string ipv4_text(const in_addr &addr)
{
    char text[INET_ADDRSTRLEN];
    return format_ipv4(addr, text);
}
