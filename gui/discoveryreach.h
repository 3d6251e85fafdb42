// SPDX-License-Identifier: GPL-3.0-or-later
// Where the window's runs ask beyond the limited broadcast ("Discovery
// options…"), and the port their requests leave from.
#pragma once

#include <cstdint>
#include <netinet/in.h>
#include <vector>

struct DiscoveryReach {
    std::vector<in_addr> targets; // subnets' broadcast addresses or devices' own
    uint16_t sourcePort = 0;      // 0: the system picks
    // With an inventory: the remembered devices a run did not hear are asked
    // at their last addresses.
    bool askRemembered = true;
};
