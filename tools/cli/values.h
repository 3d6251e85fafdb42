// Parsing of the values a user types: MAC addresses, IPv4 addresses,
// netmasks and image paths. Each check either fills its output or returns a
// message that names the bad argument, so nothing is sent on bad input.
#pragma once

#include <netinet/ether.h>
#include <netinet/in.h>
#include <string>

// Six groups of one or two hexadecimal digits separated by colons.
bool parse_mac(const std::string &text, ether_addr *mac);
// A dotted-quad IPv4 address, in network byte order.
bool parse_ipv4(const std::string &text, in_addr *addr);
// A dotted-quad IPv4 netmask whose one bits are contiguous from the top.
bool parse_netmask(const std::string &text, in_addr *mask);
// An existing, readable regular file whose size fits the upload header.
// Returns an empty string when the file will do, otherwise the reason.
std::string check_image(const std::string &path);

// Lower-case, zero-padded colon form, stable for other programs to read.
std::string mac_text(const ether_addr &mac);
std::string ipv4_text(const in_addr &addr);
