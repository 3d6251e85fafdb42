// SPDX-License-Identifier: GPL-3.0-or-later
// Whether this network namespace has loopback alone, as netns-run makes it:
// only there may a test send the protocol.
#pragma once

#include <net/if.h>
#include <string_view>

inline bool only_loopback()
{
    struct if_nameindex *names = if_nameindex();
    if (names == nullptr)
        return false;
    const bool only = names[0].if_index != 0 && std::string_view(names[0].if_name) == "lo" &&
                      names[1].if_index == 0;
    if_freenameindex(names);
    return only;
}
