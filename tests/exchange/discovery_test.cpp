// Discovery runs against simulated devices: what a run collects, skips and
// acknowledges, and the devices it finds behind each of several interfaces.
#include "exchange_fixture.h"
#include "recording_sink.h"

#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <unistd.h>

namespace
{

int occurrences(const std::string &text, const std::string &line)
{
    int n = 0;
    for (size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + 1))
        ++n;
    return n;
}

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
    EXPECT_STREQ(interfaces[0].name, "");
    EXPECT_EQ(interfaces[0].addr.s_addr, 0u);

    RecordingSink sink;
    testing::internal::CaptureStderr();
    EXPECT_EQ(discover_run(interfaces.data(), 1, &sink), 0);
    const std::string lines = testing::internal::GetCapturedStderr();

    // Devices that share an address are listed each, with the address their
    // reply came from.
    const std::pair<const char *, const char *> expected[] = {
        {"127.0.0.2 2:0:7f:0:0:2", "127.0.0.2"},  {"127.0.0.3 2:0:7f:0:0:3", "127.0.0.3"},
        {"127.0.0.99 2:0:7f:0:0:9", "127.0.0.9"}, {"127.0.0.99 2:0:7f:0:0:a", "127.0.0.10"},
        {"0.0.0.0 2:0:7f:0:0:b", "127.0.0.11"},   {"0.0.0.0 2:0:7f:0:0:c", "127.0.0.12"}};
    ASSERT_EQ(sink.devices.size(), std::size(expected));
    for (const auto &[key, source] : expected) {
        SCOPED_TRACE(key);
        ASSERT_EQ(sink.devices.count(key), 1u);
        const Found &f = sink.devices[key];
        EXPECT_EQ(f.entry.type, DISCOVER_REPLY);
        EXPECT_EQ(f.interface, "");
        EXPECT_EQ(f.source, source);
    }
    const DiscoverEntry &alpha = sink.devices["127.0.0.2 2:0:7f:0:0:2"].entry;
    EXPECT_STREQ(alpha.hostname, "alpha");
    EXPECT_STREQ(alpha.firmware, "fw\xe9 1");
    EXPECT_STREQ(inet_ntoa(alpha.netmask), "255.0.0.0");
    EXPECT_STREQ(ether_ntoa(&alpha.mac), "2:0:7f:0:0:2");

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

    const ether_addr shared = *ether_aton("02:00:00:00:00:aa");
    const in_addr any{}, ip{inet_addr("127.0.0.50")}, netmask{inet_addr("255.0.0.0")};
    ExchangeReport report{};
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(do_setup_report(&any, &shared, &ip, &netmask, 0, nullptr, &report), -1);
    const std::string errors = testing::internal::GetCapturedStderr();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_NE(errors.find("read_discover_packet: timeout\n"), std::string::npos) << errors;
    EXPECT_EQ(report.stage, STAGE_NO_REPLY);
    EXPECT_EQ(report.result, 0);
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
        const std::string n = std::to_string(++links_);
        std::string script = "set -e; ip netns add " + ns(links_) + "; ip link add dsh" + n +
                             " type veth peer name dsd" + n + " netns " + ns(links_);
        for (const std::string &address : host)
            script += "; ip addr add " + address + " dev dsh" + n;
        for (const std::string &address : peer)
            script += "; ip -n " + ns(links_) + " addr add " + address + " dev dsd" + n;
        script +=
            "; ip link set dsh" + n + " up; ip -n " + ns(links_) + " link set dsd" + n + " up";
        ASSERT_EQ(std::system(script.c_str()), 0) << script;
        ASSERT_TRUE(sims_[links_ - 1].start(path("sim" + n + ".log"), devices,
                                            {"ip", "netns", "exec", ns(links_)}));
    }

    SimProcess sims_[2];
    int links_ = 0;
};

TEST_F(InterfacesTest, RunFindsTheDevicesBehindEachInterface)
{
    for (int n = 1; n <= 2; ++n) {
        // Host-side veth dshN at 198.18.N.1, devices at 198.18.N.2 and .3.
        const std::string net = "198.18." + std::to_string(n) + ".";
        ASSERT_NO_FATAL_FAILURE(add_link({net + "1/24"}, {net + "2/24", net + "3/24"},
                                         {"addr=" + net + "2", "addr=" + net + "3"}));
    }
    const std::vector<DiscoverInterface> interfaces = default_discover_interfaces();
    std::map<std::string, std::string> listed;
    for (const DiscoverInterface &interface : interfaces)
        listed[interface.name] = inet_ntoa(interface.addr);
    EXPECT_EQ(listed,
              (std::map<std::string, std::string>{{"dsh1", "198.18.1.1"}, {"dsh2", "198.18.2.1"}}));

    RecordingSink sink;
    EXPECT_EQ(discover_run(interfaces.data(), static_cast<int>(interfaces.size()), &sink), 0);
    std::map<std::string, std::string> found_on;
    for (const auto &[key, f] : sink.devices)
        found_on[key.substr(0, key.find(' '))] = f.interface;
    EXPECT_EQ(found_on, (std::map<std::string, std::string>{{"198.18.1.2", "dsh1"},
                                                            {"198.18.1.3", "dsh1"},
                                                            {"198.18.2.2", "dsh2"},
                                                            {"198.18.2.3", "dsh2"}}));
    for (int n = 1; n <= 2; ++n) {
        SCOPED_TRACE("link " + std::to_string(n));
        EXPECT_EQ(sims_[n - 1].lines_of("ack ").size(), 6u);
        for (const std::string &line : sims_[n - 1].lines_of("discover "))
            EXPECT_EQ(log_field(line, "from").rfind("198.18." + std::to_string(n) + ".1:", 0), 0u)
                << line;
    }
}

TEST_F(InterfacesTest, RunUsesEveryAddressAndHearsBroadcastReplies)
{
    // 70 addresses on one link, more than a table of 64 would hold; one
    // device there and one on loopback answer to the broadcast address.
    std::vector<std::string> host;
    for (int i = 1; i <= 70; ++i)
        host.push_back("198.18.1." + std::to_string(i) + "/24");
    ASSERT_NO_FATAL_FAILURE(
        add_link(host, {"198.18.1.253/24", "198.18.1.254/24"},
                 {"addr=198.18.1.253,reply-to=broadcast", "addr=198.18.1.254"}));
    ASSERT_TRUE(start_sim({"addr=127.0.0.2,reply-to=broadcast"}));
    std::vector<DiscoverInterface> interfaces = default_discover_interfaces();
    ASSERT_EQ(interfaces.size(), 70u);
    DiscoverInterface loopback{"lo", {inet_addr("127.0.0.1")}};
    interfaces.push_back(loopback);

    RecordingSink sink;
    EXPECT_EQ(discover_run(interfaces.data(), static_cast<int>(interfaces.size()), &sink), 0);
    std::map<std::string, std::string> found_on;
    for (const auto &[key, f] : sink.devices)
        found_on[f.source] = f.interface;
    EXPECT_EQ(found_on,
              (std::map<std::string, std::string>{
                  {"127.0.0.2", "lo"}, {"198.18.1.253", "dsh1"}, {"198.18.1.254", "dsh1"}}));
    std::set<std::string> senders;
    for (const std::string &line : sims_[0].lines_of("discover "))
        if (log_field(line, "device") == "198.18.1.254")
            senders.insert(log_field(line, "from").substr(0, log_field(line, "from").find(':')));
    EXPECT_EQ(senders.size(), 70u);
}

} // namespace
