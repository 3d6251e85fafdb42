// What the front ends refuse to send: each rule of the MAC, address and
// netmask checks, and the values that must pass them.
#include "checks.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <string>

namespace
{

// A problem is named by a word of its phrase, so that the right rule is
// seen to refuse the value; null means the value must pass.
struct MacCase {
    const char *mac;
    const char *problem;
};

struct AddressCase {
    const char *ip;
    const char *netmask;
    bool dhcp;
    const char *ip_problem;
    const char *netmask_problem;
};

const MacCase MAC_CASES[] = {
    {"00:00:00:00:00:00", "names no device"}, {"01:00:5e:00:00:01", "group address"},
    {"ff:ff:ff:ff:ff:ff", "group address"},   {"02:00:00:00:00:00", nullptr},
    {"00:00:00:00:00:01", nullptr},           {"fe:ff:ff:ff:ff:ff", nullptr},
};

const AddressCase ADDRESS_CASES[] = {
    {"0.0.0.0", "0.0.0.0", true, nullptr, nullptr},
    {"0.0.0.0", "255.255.255.0", false, "0.0.0.0 is no address", nullptr},
    {"192.168.1.10", "0.0.0.0", false, nullptr, "0.0.0.0 is no netmask"},
    {"192.168.1.10", "0.0.0.0", true, nullptr, nullptr},
    {"255.255.255.255", "255.255.255.0", false, "the broadcast address", nullptr},
    {"224.0.0.1", "255.255.255.0", false, "multicast", nullptr},
    {"239.255.255.250", "255.0.0.0", true, "multicast", nullptr},
    {"240.0.0.1", "255.255.255.0", false, "reserved", nullptr},
    {"255.255.255.254", "255.255.255.0", false, "reserved", nullptr},
    {"127.0.0.1", "255.0.0.0", false, "loopback", nullptr},
    {"0.1.2.3", "255.0.0.0", false, "0.0.0.0/8", nullptr},
    {"192.168.1.0", "255.255.255.0", false, "network address", nullptr},
    {"192.168.1.255", "255.255.255.0", false, "broadcast address of its subnet", nullptr},
    {"10.255.255.255", "255.0.0.0", true, "broadcast address of its subnet", nullptr},
    {"192.168.1.0", "255.255.255.254", false, nullptr, nullptr},
    {"192.168.1.1", "255.255.255.254", false, nullptr, nullptr},
    {"192.168.1.255", "255.255.255.255", false, nullptr, nullptr},
    {"192.168.1.10", "255.0.255.0", false, nullptr, "not a contiguous"},
    {"192.168.1.10", "0.255.255.255", false, nullptr, "not a contiguous"},
    {"192.168.1.10", "255.255.255.0", false, nullptr, nullptr},
    {"198.19.0.0", "255.254.0.0", false, nullptr, nullptr},
    {"1.0.0.1", "128.0.0.0", false, nullptr, nullptr},
};

testing::AssertionResult refused_as(const char *problem, const char *expected)
{
    if (expected == nullptr && problem == nullptr)
        return testing::AssertionSuccess();
    if (expected == nullptr)
        return testing::AssertionFailure() << "refused: " << problem;
    if (problem == nullptr)
        return testing::AssertionFailure() << "passed, expected: " << expected;
    if (std::string(problem).find(expected) == std::string::npos)
        return testing::AssertionFailure()
               << "refused as '" << problem << "', expected " << expected;
    return testing::AssertionSuccess();
}

TEST(ChecksTest, EachRuleRefusesItsValuesAndGoodValuesPass)
{
    for (const MacCase &c : MAC_CASES) {
        SCOPED_TRACE(c.mac);
        EXPECT_TRUE(refused_as(check_device_mac(*ether_aton(c.mac)), c.problem));
    }
    for (const AddressCase &c : ADDRESS_CASES) {
        SCOPED_TRACE(std::string(c.ip) + "/" + c.netmask + (c.dhcp ? " dhcp" : ""));
        const in_addr ip{inet_addr(c.ip)}, netmask{inet_addr(c.netmask)};
        EXPECT_TRUE(refused_as(check_new_ip(ip, netmask, c.dhcp), c.ip_problem));
        EXPECT_TRUE(refused_as(check_new_netmask(netmask, c.dhcp), c.netmask_problem));
    }
}

} // namespace
