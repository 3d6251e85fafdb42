// Discovery runs against simulated devices: what a run collects, skips and
// acknowledges, and the devices it finds behind each of several interfaces.
#include "discover_run.h"
#include "exchange_fixture.h"

#include <cstdlib>
#include <cstring>
#include <map>
#include <unistd.h>

namespace
{

struct Found {
    DiscoverEntry entry;
    std::string interface;
    int skipped = 0;
    bool listed_mac_matches = true;
};

class RecordingSink : public DiscoverSink
{
  public:
    void found(const DiscoverEntry &entry, const DiscoverInterface &where) override
    {
        Found &f = by_address[ipv4_text(entry.ipaddr)];
        EXPECT_EQ(f.entry.type, 0) << "found twice: " << ipv4_text(entry.ipaddr);
        f.entry = entry;
        f.interface = where.name;
    }
    void skipped(const DiscoverEntry &entry, const ether_addr &listed_mac,
                 const DiscoverInterface &) override
    {
        Found &f = by_address[ipv4_text(entry.ipaddr)];
        f.skipped++;
        f.listed_mac_matches &= std::memcmp(&listed_mac, &f.entry.mac, sizeof listed_mac) == 0;
    }
    std::map<std::string, Found> by_address;
};

int occurrences(const std::string &text, const std::string &line)
{
    int n = 0;
    for (size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + 1))
        ++n;
    return n;
}

using DiscoveryTest = ExchangeTest;

TEST_F(DiscoveryTest, RunCollectsEachAddressOnceAndAcknowledgesEveryReply)
{
    ASSERT_TRUE(start_sim({
        "addr=127.0.0.2,host=alpha,fw=fw%e9 1", // answers all three requests
        "addr=127.0.0.3,answer=first",          // answers one
        "addr=127.0.0.4,answer=none",           // never found
        "addr=127.0.0.5,session=other",         // the rest are ignored
        "addr=127.0.0.6,reply=malformed",
        "addr=127.0.0.7,reply=oversized",
        "addr=127.0.0.8,reply=wrongtype",
        "addr=127.0.0.9,ip=127.0.0.99", // two devices, one reported address
        "addr=127.0.0.10,ip=127.0.0.99",
        "addr=127.0.0.11,ip=none", // two devices without an address
        "addr=127.0.0.12,ip=none",
    }));
    DiscoverInterface interfaces[MAX_DISCOVER_INTERFACES];
    // Only loopback here, so the run falls back to the wildcard address.
    ASSERT_EQ(default_discover_interfaces(interfaces, MAX_DISCOVER_INTERFACES), 1);
    EXPECT_STREQ(interfaces[0].name, "");
    EXPECT_EQ(interfaces[0].addr.s_addr, 0u);

    RecordingSink sink;
    testing::internal::CaptureStderr();
    EXPECT_EQ(discover_run(interfaces, 1, &sink), 0);
    const std::string lines = testing::internal::GetCapturedStderr();

    struct Expected {
        const char *address;
        int skipped;
    };
    const Expected expected[] = {
        {"127.0.0.2", 2}, {"127.0.0.3", 0}, {"127.0.0.99", 5}, {"0.0.0.0", 5}};
    ASSERT_EQ(sink.by_address.size(), std::size(expected));
    for (const Expected &e : expected) {
        SCOPED_TRACE(e.address);
        ASSERT_EQ(sink.by_address.count(e.address), 1u);
        const Found &f = sink.by_address[e.address];
        EXPECT_EQ(f.entry.type, DISCOVER_REPLY);
        EXPECT_EQ(f.interface, "");
        EXPECT_EQ(f.skipped, e.skipped);
        EXPECT_TRUE(f.listed_mac_matches);
    }
    const DiscoverEntry &alpha = sink.by_address["127.0.0.2"].entry;
    EXPECT_STREQ(alpha.hostname, "alpha");
    EXPECT_STREQ(alpha.firmware, "fw\xe9 1");
    EXPECT_EQ(ipv4_text(alpha.netmask), "255.0.0.0");
    const ether_addr alpha_mac = mac("02:00:7f:00:00:02");
    EXPECT_EQ(std::memcmp(&alpha.mac, &alpha_mac, sizeof alpha_mac), 0);

    // One line per datagram, each of the three requests answered.
    const std::pair<const char *, int> per_line[] = {
        {"read_discover_reply: we got a reply :-)\n", 3 + 1 + 6 + 6},
        {"skipping duplicate or conflicting device on address ", 2 + 5 + 5},
        {"read_discover_reply: this isn't the reply we want\n", 3},
        {"read_discover_reply: this doesn't look like a discover reply at all\n", 3},
        {"read_discover_packet: got b0rked packet\n", 3 + 3},
        {"read_discover_packet: timeout\n", 1},
    };
    for (const auto &[line, count] : per_line)
        EXPECT_EQ(occurrences(lines, line), count) << line << lines;

    // Every accepted reply is acknowledged once, with the run's session.
    std::vector<std::string> requests = sim_.lines_of("discover ");
    ASSERT_FALSE(requests.empty());
    const std::string session = log_field(requests.front(), "session");
    std::vector<std::string> acks = sim_.lines_of("ack ");
    EXPECT_EQ(acks.size(), 3u + 1u + 6u + 6u);
    for (const std::string &ack : acks)
        EXPECT_EQ(log_field(ack, "session"), session) << ack;
}

// Two device namespaces, each behind a veth link of its own, with two devices
// each. Only 198.18.0.0/15 (never routed) is used on the links.
class InterfacesTest : public ExchangeTest
{
  protected:
    void TearDown() override
    {
        for (SimProcess &sim : sims_) {
            if (sim.running()) {
                EXPECT_TRUE(sim.stop());
            }
        }
        for (const std::string &name : namespaces_)
            EXPECT_EQ(std::system(("ip netns del " + name).c_str()), 0); // takes the veth along
        ExchangeTest::TearDown();
    }

    // Namespace n, linked by host-side veth "dshN" at 198.18.N.1, with
    // devices at 198.18.N.2 and 198.18.N.3.
    testing::AssertionResult add_link(int n)
    {
        const std::string i = std::to_string(n), net = "198.18." + i + ".";
        const std::string name = "devscout-" + std::to_string(getpid()) + "-" + i;
        namespaces_.push_back(name);
        const std::string commands =
            "ip netns add " + name + " && ip link add dsh" + i + " type veth peer name dsd" + i +
            " netns " + name + " && ip addr add " + net + "1/24 dev dsh" + i +
            " && ip link set dsh" + i + " up && ip -n " + name + " addr add " + net +
            "2/24 dev dsd" + i + " && ip -n " + name + " addr add " + net + "3/24 dev dsd" + i +
            " && ip -n " + name + " link set dsd" + i + " up";
        if (std::system(commands.c_str()) != 0)
            return testing::AssertionFailure() << commands;
        return sims_[n - 1].start(path("sim" + i + ".log"),
                                  {"addr=" + net + "2", "addr=" + net + "3"},
                                  {"ip", "netns", "exec", name});
    }

    SimProcess sims_[2];
    std::vector<std::string> namespaces_;
};

TEST_F(InterfacesTest, RunFindsTheDevicesBehindEachInterface)
{
    ASSERT_TRUE(add_link(1));
    ASSERT_TRUE(add_link(2));
    DiscoverInterface interfaces[MAX_DISCOVER_INTERFACES];
    const int count = default_discover_interfaces(interfaces, MAX_DISCOVER_INTERFACES);
    std::map<std::string, std::string> listed;
    for (int i = 0; i < count; ++i)
        listed[interfaces[i].name] = ipv4_text(interfaces[i].addr);
    EXPECT_EQ(listed,
              (std::map<std::string, std::string>{{"dsh1", "198.18.1.1"}, {"dsh2", "198.18.2.1"}}));

    RecordingSink sink;
    EXPECT_EQ(discover_run(interfaces, count, &sink), 0);
    std::map<std::string, std::string> found_on;
    for (const auto &[address, f] : sink.by_address) {
        found_on[address] = f.interface;
        EXPECT_EQ(f.skipped, 2) << address; // each answers all three requests
    }
    EXPECT_EQ(found_on, (std::map<std::string, std::string>{{"198.18.1.2", "dsh1"},
                                                            {"198.18.1.3", "dsh1"},
                                                            {"198.18.2.2", "dsh2"},
                                                            {"198.18.2.3", "dsh2"}}));
    for (int i = 1; i <= 2; ++i) {
        SCOPED_TRACE("link " + std::to_string(i));
        EXPECT_EQ(sims_[i - 1].lines_of("ack ").size(), 6u);
        for (const std::string &line : sims_[i - 1].lines_of("discover "))
            EXPECT_EQ(log_field(line, "from").rfind("198.18." + std::to_string(i) + ".1:", 0), 0u)
                << line;
    }
}

} // namespace
