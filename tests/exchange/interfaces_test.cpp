// Discovery on every interface: two device namespaces, each behind a veth
// link of its own, each with simulated devices. Only 198.18.0.0/15 (never
// routed) is used on the links.
#include "discover_run.h"
#include "exchange_fixture.h"

#include <cstdlib>
#include <map>
#include <unistd.h>

namespace
{

constexpr int LINKS = 2;

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
            EXPECT_TRUE(shell("ip netns del " + name)); // takes the veth pair with it
        ExchangeTest::TearDown();
    }

    static testing::AssertionResult shell(const std::string &command)
    {
        int status = std::system(command.c_str());
        if (status == 0)
            return testing::AssertionSuccess();
        return testing::AssertionFailure() << command << ": status " << status;
    }

    // Device namespace i (1-based), linked to this one by host-side veth
    // "dshI" at 198.18.I.1, with devices at 198.18.I.2 and 198.18.I.3.
    testing::AssertionResult add_link(int i)
    {
        const std::string n = std::to_string(i);
        const std::string name = "devscout-" + std::to_string(getpid()) + "-" + n;
        testing::AssertionResult made = shell("ip netns add " + name);
        if (!made)
            return made;
        namespaces_.push_back(name);
        const std::string net = "198.18." + n + ".";
        for (const std::string &command : {
                 "ip link add dsh" + n + " type veth peer name dsd" + n + " netns " + name,
                 "ip addr add " + net + "1/24 dev dsh" + n,
                 "ip link set dsh" + n + " up",
                 "ip -n " + name + " addr add " + net + "2/24 dev dsd" + n,
                 "ip -n " + name + " addr add " + net + "3/24 dev dsd" + n,
                 "ip -n " + name + " link set dsd" + n + " up",
             }) {
            testing::AssertionResult done = shell(command);
            if (!done)
                return done;
        }
        return sims_[i - 1].start(path("sim" + n + ".log"),
                                  {"addr=" + net + "2", "addr=" + net + "3"},
                                  {"ip", "netns", "exec", name});
    }

    SimProcess sims_[LINKS];
    std::vector<std::string> namespaces_;
};

class InterfaceSink : public DiscoverSink
{
  public:
    void found(const DiscoverEntry &entry, const DiscoverInterface &where) override
    {
        EXPECT_TRUE(found_on.emplace(ipv4_text(entry.ipaddr), where.name).second);
    }
    void skipped(const DiscoverEntry &, const ether_addr &, const DiscoverInterface &) override
    {
        ++skips;
    }
    std::map<std::string, std::string> found_on;
    int skips = 0;
};

TEST_F(InterfacesTest, RunFindsTheDevicesBehindEachInterface)
{
    for (int i = 1; i <= LINKS; ++i)
        ASSERT_TRUE(add_link(i));

    DiscoverInterface interfaces[MAX_DISCOVER_INTERFACES];
    const int count = default_discover_interfaces(interfaces, MAX_DISCOVER_INTERFACES);
    std::map<std::string, std::string> listed;
    for (int i = 0; i < count; ++i)
        listed[interfaces[i].name] = ipv4_text(interfaces[i].addr);
    EXPECT_EQ(listed,
              (std::map<std::string, std::string>{{"dsh1", "198.18.1.1"}, {"dsh2", "198.18.2.1"}}));

    const int fds_before = open_descriptors();
    InterfaceSink sink;
    EXPECT_EQ(discover_run(interfaces, count, &sink), 0);
    EXPECT_EQ(open_descriptors(), fds_before);

    EXPECT_EQ(sink.found_on, (std::map<std::string, std::string>{{"198.18.1.2", "dsh1"},
                                                                 {"198.18.1.3", "dsh1"},
                                                                 {"198.18.2.2", "dsh2"},
                                                                 {"198.18.2.3", "dsh2"}}));
    EXPECT_EQ(sink.skips, 2 * LINKS * 2); // each device answers all three requests
    for (int i = 1; i <= LINKS; ++i) {
        SCOPED_TRACE("link " + std::to_string(i));
        const std::string host = "198.18." + std::to_string(i) + ".1:";
        std::vector<std::string> acks = sims_[i - 1].lines_of("ack");
        EXPECT_EQ(acks.size(), 6u);
        for (const std::string &line : sims_[i - 1].lines_of("discover"))
            EXPECT_EQ(log_field(line, "from").rfind(host, 0), 0u) << line;
    }
}

} // namespace
