// SPDX-License-Identifier: GPL-3.0-or-later
// Prints the first session identifiers a fresh process draws, for the test
// that two processes do not share them.
#include "discover.h"

#include <cstdio>

int main()
{
    for (int i = 0; i < 8; ++i) {
        unsigned char id[2];
        fill_session_id(id);
        std::printf("%02x%02x", id[0], id[1]);
    }
    std::printf("\n");
    return 0;
}
