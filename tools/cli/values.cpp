// SPDX-License-Identifier: GPL-3.0-or-later
#include "values.h"

#include "text.h"

#include <arpa/inet.h>

bool parse_mac(const std::string &text, ether_addr *mac)
{
    return parse_mac_text(text.data(), text.size(), mac);
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
