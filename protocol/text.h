// SPDX-License-Identifier: GPL-3.0-or-later
// The text forms of the protocol's values, one place for each, so the window,
// the command line and the protocol's own lines agree.
#pragma once

#include <cstddef>
#include <netinet/ether.h>
#include <netinet/in.h>

enum class MacForm {
    Short,  // "2:0:7f:1:0:1", as ether_ntoa writes it and the window shows it
    Padded, // "02:00:7f:01:00:01", stable for other programs to read
};
constexpr size_t MAC_TEXT_SIZE = 18;

const char *format_mac(const ether_addr &mac, MacForm form, char out[MAC_TEXT_SIZE]);
// Six groups of one or two hexadecimal digits separated by colons, the
// length bytes of text and nothing else; false leaves mac unusable.
bool parse_mac_text(const char *text, size_t length, ether_addr *mac);
// Byte for byte.
bool same_mac(const ether_addr &a, const ether_addr &b);
// Dotted decimal.
const char *format_ipv4(in_addr address, char out[INET_ADDRSTRLEN]);
