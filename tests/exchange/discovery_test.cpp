// SPDX-License-Identifier: GPL-3.0-or-later
// Discovery runs against simulated devices: what a run collects, skips and
// acknowledges, and the devices it finds behind each of several interfaces.
#include "exchange_fixture.h"

#include <cstdlib>
#include <set>
#include <unistd.h>

using DiscoveryTest = ExchangeTest;

TEST_F(DiscoveryTest, RunAndSetupTakeOnlyRepliesOfTheirSession)
{
    ASSERT_TRUE(start_sim({
        "addr=127.0.0.2,host=alpha,fw=fw%e9 1", // answers all three requests
        "addr=127.0.0.3,answer=first",          // answers one
        // Never taken, though all own the MAC that the setup below asks for.
        "addr=127.0.0.4,answer=none,setup=none,mac=02:00:00:00:00:aa",
        "addr=127.0.0.5,session=other,mac=02:00:00:00:00:aa",
        "addr=127.0.0.6,reply=malformed,mac=02:00:00:00:00:aa",
        "addr=127.0.0.7,reply=oversized,mac=02:00:00:00:00:aa",
        "addr=127.0.0.8,reply=wrongtype,mac=02:00:00:00:00:aa",
        "addr=127.0.0.9,ip=127.0.0.99", // two devices, one reported address
        "addr=127.0.0.10,ip=127.0.0.99",
        "addr=127.0.0.11,ip=none", // two devices without an address
        "addr=127.0.0.12,ip=none",
    }));
    // Only loopback here, so the run falls back to the wildcard address.
    const std::vector<DiscoverInterface> interfaces = default_discover_interfaces();
    ASSERT_EQ(interfaces.size(), 1u);
    EXPECT_TRUE(is_wildcard(interfaces[0]) && interfaces[0].addr.s_addr == 0);
    const Outcome found = run(interfaces);
    EXPECT_EQ(found.result, 0);

    // Devices that share an address are listed each, with the address their
    // reply came from.
    std::map<std::string, std::string> sources;
    for (const auto &[key, device] : found.devices) {
        sources[key] =
            dotted(device.source) + (*device.where.name ? " on " : "") + device.where.name;
        EXPECT_EQ(device.entry.type, DISCOVER_REPLY);
    }
    EXPECT_EQ(sources,
              (std::map<std::string, std::string>{{"127.0.0.2 2:0:7f:0:0:2", "127.0.0.2"},
                                                  {"127.0.0.3 2:0:7f:0:0:3", "127.0.0.3"},
                                                  {"127.0.0.99 2:0:7f:0:0:9", "127.0.0.9"},
                                                  {"127.0.0.99 2:0:7f:0:0:a", "127.0.0.10"},
                                                  {"0.0.0.0 2:0:7f:0:0:b", "127.0.0.11"},
                                                  {"0.0.0.0 2:0:7f:0:0:c", "127.0.0.12"}}));
    const DiscoverEntry &alpha = found.devices.at("127.0.0.2 2:0:7f:0:0:2").entry;
    EXPECT_STREQ(alpha.hostname, "alpha");
    EXPECT_STREQ(alpha.firmware, "fw\xe9 1");
    EXPECT_EQ(dotted(alpha.netmask), "255.0.0.0");

    // One line per datagram, each of the three requests answered.
    const std::pair<std::string, int> per_line[] = {
        {"read_discover_reply: we got a reply :-)\n", 3 + 1 + 6 + 6},
        {"skipping duplicate or conflicting device on address ", 2 + 5 + 5},
        {"read_discover_reply: this isn't the reply we want\n", 3},
        {"read_discover_reply: this doesn't look like a discover reply at all\n", 3},
        {"read_discover_packet: got b0rked packet\n", 3 + 3},
        {"read_discover_packet: timeout\n", 1},
    };
    for (const auto &[line, count] : per_line) {
        int n = 0;
        for (size_t at = found.err.find(line); at != std::string::npos;
             at = found.err.find(line, at + 1))
            ++n;
        EXPECT_EQ(n, count) << line << found.err;
    }

    // Every accepted reply is acknowledged once, with the run's session.
    const std::string session = log_field(sim_.wait_for("discover "), "session");
    const std::vector<std::string> acks = sim_.lines_of("ack ");
    EXPECT_EQ(acks.size(), 3u + 1u + 6u + 6u);
    for (const std::string &ack : acks)
        EXPECT_EQ(log_field(ack, "session"), session) << ack;

    const Outcome answer = setup("02:00:00:00:00:aa");
    EXPECT_EQ(answer.result, -1);
    EXPECT_EQ(answer.out, "");
    EXPECT_NE(answer.err.find("read_discover_packet: timeout\n"), std::string::npos) << answer.err;
    EXPECT_EQ(answer.report.stage, STAGE_NO_REPLY);
    EXPECT_EQ(answer.report.result, 0);
    EXPECT_EQ(sim_.lines_of("setup ").size(), 5u);
}

// Device namespaces, each behind a veth link of its own. Only 198.18.0.0/15
// (never routed) is used on the links.
class InterfacesTest : public ExchangeTest
{
  protected:
    void TearDown() override
    {
        for (int n = 1; n <= links_; ++n) {
            if (sims_[n - 1].running()) {
                EXPECT_TRUE(sims_[n - 1].stop());
            }
            EXPECT_EQ(std::system(("ip netns del " + ns(n)).c_str()), 0); // takes the veth along
        }
        ExchangeTest::TearDown();
    }
    static std::string ns(int n)
    {
        return "devscout-" + std::to_string(getpid()) + "-" + std::to_string(n);
    }
    // Link N: veth dshN here with host's addresses, dsdN in namespace ns(N)
    // with peer's, and a simulator there with devices.
    void add_link(const std::vector<std::string> &host, const std::vector<std::string> &peer,
                  const std::vector<std::string> &devices)
    {
        const std::string n = std::to_string(++links_), there = "ip -n " + ns(links_);
        std::string script = "set -e; ip netns add " + ns(links_) + "; ip link add dsh" + n +
                             " type veth peer name dsd" + n + " netns " + ns(links_);
        for (const std::string &address : host)
            script += "; ip addr add " + address + " dev dsh" + n;
        for (const std::string &address : peer)
            script += "; " + there + " addr add " + address + " dev dsd" + n;
        script += "; ip link set dsh" + n + " up; " + there + " link set dsd" + n + " up";
        ASSERT_EQ(std::system(script.c_str()), 0) << script;
        ASSERT_TRUE(sims_[links_ - 1].start(path("sim" + n + ".log"), devices,
                                            {"ip", "netns", "exec", ns(links_)}));
    }

    SimProcess sims_[2];
    int links_ = 0;
};

// Link 1 has 70 addresses here, more than a table of 64 would hold; one
// device there and one on loopback answer to the broadcast address. An
// interface whose socket cannot be opened is left out of the run.
TEST_F(InterfacesTest, RunUsesEveryAddressOfEveryInterface)
{
    std::vector<std::string> host;
    for (int i = 1; i <= 70; ++i)
        host.push_back("198.18.1." + std::to_string(i) + "/24");
    ASSERT_NO_FATAL_FAILURE(
        add_link(host, {"198.18.1.253/24", "198.18.1.254/24"},
                 {"addr=198.18.1.253,reply-to=broadcast", "addr=198.18.1.254"}));
    ASSERT_NO_FATAL_FAILURE(add_link({"198.18.2.1/24"}, {"198.18.2.2/24", "198.18.2.3/24"},
                                     {"addr=198.18.2.2", "addr=198.18.2.3"}));
    ASSERT_TRUE(start_sim({"addr=127.0.0.2,reply-to=broadcast"}));
    std::vector<DiscoverInterface> interfaces = default_discover_interfaces();
    std::map<std::string, int> listed;
    for (const DiscoverInterface &interface : interfaces)
        ++listed[interface.name];
    EXPECT_EQ(listed, (std::map<std::string, int>{{"dsh1", 70}, {"dsh2", 1}}));
    const DiscoverInterface gone{"gone0", {inet_addr("198.18.9.9")}}; // not of this host
    EXPECT_EQ(run({gone}).result, -1);
    interfaces.insert(interfaces.begin() + 1, gone);
    interfaces.push_back({"lo", {inet_addr("127.0.0.1")}});

    const Outcome found = run(interfaces);
    EXPECT_EQ(found.result, 0);
    EXPECT_NE(found.err.find("bind(): Cannot assign requested address"), std::string::npos);
    std::map<std::string, std::string> found_on;
    for (const auto &[key, device] : found.devices)
        found_on[dotted(device.source)] = device.where.name;
    EXPECT_EQ(found_on, (std::map<std::string, std::string>{{"127.0.0.2", "lo"},
                                                            {"198.18.1.253", "dsh1"},
                                                            {"198.18.1.254", "dsh1"},
                                                            {"198.18.2.2", "dsh2"},
                                                            {"198.18.2.3", "dsh2"}}));
    std::set<std::string> senders;
    for (const std::string &line : sims_[0].lines_of("discover "))
        if (log_field(line, "device") == "198.18.1.254")
            senders.insert(log_field(line, "from").substr(0, log_field(line, "from").find(':')));
    EXPECT_EQ(senders.size(), 70u);
    EXPECT_EQ(sims_[1].lines_of("ack ").size(), 6u);
    for (const std::string &line : sims_[1].lines_of("discover "))
        EXPECT_EQ(log_field(line, "from").rfind("198.18.2.1:", 0), 0u) << line;
}
