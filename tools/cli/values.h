// SPDX-License-Identifier: GPL-3.0-or-later
// The text forms of MAC and IPv4 addresses, as a user types them and as the
// command line prints them (the protocol's text.h, as strings). Whether a
// value will do for a device is the protocol's checks.h.
#pragma once

#include <netinet/ether.h>
#include <netinet/in.h>
#include <string>

// Six groups of one or two hexadecimal digits separated by colons.
bool parse_mac(const std::string &text, ether_addr *mac);
// A dotted-quad IPv4 address, in network byte order.
bool parse_ipv4(const std::string &text, in_addr *addr);

// Lower-case, zero-padded colon form, stable for other programs to read.
std::string mac_text(const ether_addr &mac);
std::string ipv4_text(const in_addr &addr);
