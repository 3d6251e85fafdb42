// SPDX-License-Identifier: GPL-3.0-or-later
// Test main for tests that send the protocol: refuses to start anywhere but in
// a fresh private network namespace, whatever launched it.
#include "only_loopback.h"

#include <cstdio>
#include <gtest/gtest.h>

int main(int argc, char **argv)
{
    testing::InitGoogleTest(&argc, argv);
    if (!testing::GTEST_FLAG(list_tests) && !only_loopback()) {
        std::fprintf(stderr, "not in a private network namespace: run through netns-run\n");
        return 1;
    }
    return RUN_ALL_TESTS();
}
