// SPDX-License-Identifier: GPL-3.0-or-later
// Session identifiers must differ between processes: two windows or scripts
// started together on one LAN would otherwise take each other's replies.
#include <cstdio>
#include <gtest/gtest.h>
#include <string>

TEST(SessionIdTest, TwoProcessesStartedTogetherDrawDifferentIdentifiers)
{
    // Both started before either is read, so within the same second.
    FILE *first = popen(SESSION_IDS_BINARY, "r");
    FILE *second = popen(SESSION_IDS_BINARY, "r");
    ASSERT_TRUE(first != nullptr && second != nullptr);
    char a[64] = "", b[64] = "";
    EXPECT_TRUE(std::fgets(a, sizeof a, first) && std::fgets(b, sizeof b, second));
    EXPECT_EQ(pclose(first), 0);
    EXPECT_EQ(pclose(second), 0);
    // Eight identifiers each: a chance match of all of them is negligible.
    EXPECT_EQ(std::string(a).size(), 8u * 4 + 1) << a;
    EXPECT_NE(std::string(a), std::string(b));
}
