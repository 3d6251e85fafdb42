// SPDX-License-Identifier: GPL-3.0-or-later
// What the front ends refuse to send: each rule of the MAC, address and
// netmask checks, and the values that must pass them.
#include "checks.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <string>

// A problem is named by a word of its phrase, so that the right rule is seen
// to refuse the value; "" means the value must pass.
static testing::AssertionResult refused_as(const char *problem, const std::string &expected)
{
    const std::string got = problem != nullptr ? problem : "";
    if (expected.empty() ? got.empty() : got.find(expected) != std::string::npos)
        return testing::AssertionSuccess();
    return testing::AssertionFailure() << "got '" << got << "', expected '" << expected << "'";
}

TEST(ChecksTest, EachRuleRefusesItsValuesAndGoodValuesPass)
{
    const std::pair<const char *, const char *> macs[] = {
        {"00:00:00:00:00:00", "names no device"},
        {"01:00:5e:00:00:01", "group address"},
        {"ff:ff:ff:ff:ff:ff", "group address"},
        {"02:00:00:00:00:00", ""},
        {"00:00:00:00:00:01", ""},
        {"fe:ff:ff:ff:ff:ff", ""},
    };
    for (const auto &[mac, problem] : macs)
        EXPECT_TRUE(refused_as(check_device_mac(*ether_aton(mac)), problem)) << mac;

    const struct {
        const char *ip, *netmask;
        bool dhcp;
        const char *ip_problem, *netmask_problem;
    } addresses[] = {
        {"0.0.0.0", "0.0.0.0", true, "", ""},
        {"0.0.0.0", "255.255.255.0", false, "0.0.0.0 is no address", ""},
        {"192.168.1.10", "0.0.0.0", false, "", "0.0.0.0 is no netmask"},
        {"192.168.1.10", "0.0.0.0", true, "", ""},
        {"255.255.255.255", "255.255.255.0", false, "the broadcast address", ""},
        {"224.0.0.1", "255.255.255.0", false, "multicast", ""},
        {"239.255.255.250", "255.0.0.0", true, "multicast", ""},
        {"240.0.0.1", "255.255.255.0", false, "reserved", ""},
        {"255.255.255.254", "255.255.255.0", false, "reserved", ""},
        {"127.0.0.1", "255.0.0.0", false, "loopback", ""},
        {"0.1.2.3", "255.0.0.0", false, "0.0.0.0/8", ""},
        {"192.168.1.0", "255.255.255.0", false, "network address", ""},
        {"192.168.1.255", "255.255.255.0", false, "broadcast address of its subnet", ""},
        {"10.255.255.255", "255.0.0.0", true, "broadcast address of its subnet", ""},
        {"192.168.1.0", "255.255.255.254", false, "", ""},
        {"192.168.1.1", "255.255.255.254", false, "", ""},
        {"192.168.1.255", "255.255.255.255", false, "", ""},
        {"192.168.1.10", "255.0.255.0", false, "", "not a contiguous"},
        {"192.168.1.10", "0.255.255.255", false, "", "not a contiguous"},
        {"192.168.1.10", "255.255.255.0", false, "", ""},
        {"198.19.0.0", "255.254.0.0", false, "", ""},
        {"1.0.0.1", "128.0.0.0", false, "", ""},
    };
    for (const auto &c : addresses) {
        SCOPED_TRACE(std::string(c.ip) + "/" + c.netmask + (c.dhcp ? " dhcp" : ""));
        const in_addr ip{inet_addr(c.ip)}, netmask{inet_addr(c.netmask)};
        EXPECT_TRUE(refused_as(check_new_ip(ip, netmask, c.dhcp), c.ip_problem));
        EXPECT_TRUE(refused_as(check_new_netmask(netmask, c.dhcp), c.netmask_problem));
    }
}
