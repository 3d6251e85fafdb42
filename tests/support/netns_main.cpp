// SPDX-License-Identifier: GPL-3.0-or-later
// Test main for tests that send the protocol: refuses to start anywhere but in
// a fresh private network namespace, whatever launched it.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <net/if.h>

static bool only_loopback()
{
    struct if_nameindex *names = if_nameindex();
    if (names == nullptr)
        return false;
    bool only_lo = true;
    for (struct if_nameindex *n = names; n->if_index != 0; ++n)
        if (std::strcmp(n->if_name, "lo") != 0)
            only_lo = false;
    if_freenameindex(names);
    return only_lo;
}

int main(int argc, char **argv)
{
    testing::InitGoogleTest(&argc, argv);
    if (!testing::GTEST_FLAG(list_tests) && !only_loopback()) {
        std::fprintf(stderr, "not in a private network namespace: run through netns-run\n");
        return 1;
    }
    return RUN_ALL_TESTS();
}
