// SPDX-License-Identifier: GPL-3.0-or-later
// Fuzz target for the packet decoder: no input may crash it or make it read
// past the datagram, and whatever it accepts must survive a re-encode when
// it fits in one packet (the encoder drops what does not).
#include "discover.h"

#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const unsigned char *data, size_t size)
{
    if (size > 1024)
        return 0;
    // An exact-size copy lets the address sanitizer catch any read past it.
    auto *copy = static_cast<unsigned char *>(std::malloc(size == 0 ? 1 : size));
    if (size > 0)
        std::memcpy(copy, data, size);

    DiscoverEntry decoded;
    // Header, both texts and every fixed-size attribute with its type and length.
    constexpr size_t fixed_bytes = 3 + 2 + 2 + 8 + 6 + 6 + 3 + 3 + 3;
    if (parse_discover_packet(copy, static_cast<int>(size), &decoded) == 0 &&
        fixed_bytes + std::strlen(decoded.firmware) + std::strlen(decoded.hostname) <=
            MAX_PACKET_LEN) {
        unsigned char packet[MAX_PACKET_LEN];
        int length = encode_discover_packet(&decoded, packet);
        DiscoverEntry again;
        if (parse_discover_packet(packet, length, &again) != 0 || again.type != decoded.type ||
            std::memcmp(again.session_id, decoded.session_id, 2) != 0 ||
            std::strcmp(again.firmware, decoded.firmware) != 0 ||
            std::strcmp(again.hostname, decoded.hostname) != 0 ||
            std::memcmp(&again.mac, &decoded.mac, sizeof(again.mac)) != 0 ||
            again.ipaddr.s_addr != decoded.ipaddr.s_addr ||
            again.netmask.s_addr != decoded.netmask.s_addr || again.dhcp != decoded.dhcp ||
            again.install_state != decoded.install_state || again.result != decoded.result)
            std::abort();
    }
    std::free(copy);
    return 0;
}
