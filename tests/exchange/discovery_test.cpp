// Discovery against simulated devices: what a run collects, skips and
// acknowledges, through the shared run and through the plain reply loop.
#include "discover_run.h"
#include "exchange_fixture.h"

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
        ++skips;
    }
    std::map<std::string, Found> by_address;
    int skips = 0;
};

using DiscoveryTest = ExchangeTest;

TEST_F(DiscoveryTest, RunCollectsEachAddressOnceAndAcknowledgesEveryReply)
{
    ASSERT_TRUE(start_sim({
        "addr=127.0.0.2,host=alpha,fw=fw%e9 1", // answers all three requests
        "addr=127.0.0.3,answer=first",          // answers one
        "addr=127.0.0.4,answer=none",           // never found
        "addr=127.0.0.5,session=other",         // ignored
        "addr=127.0.0.6,reply=malformed",       // ignored
        "addr=127.0.0.7,reply=oversized",       // ignored
        "addr=127.0.0.8,reply=wrongtype",       // ignored
        "addr=127.0.0.9,ip=127.0.0.99",         // two devices, one reported address
        "addr=127.0.0.10,ip=127.0.0.99",
        "addr=127.0.0.11,ip=none", // two devices without an address
        "addr=127.0.0.12,ip=none",
    }));
    DiscoverInterface interfaces[MAX_DISCOVER_INTERFACES];
    // Only loopback here, so the run falls back to the wildcard address.
    ASSERT_EQ(default_discover_interfaces(interfaces, MAX_DISCOVER_INTERFACES), 1);
    EXPECT_STREQ(interfaces[0].name, "");
    EXPECT_EQ(interfaces[0].addr.s_addr, 0u);

    const int fds_before = open_descriptors();
    RecordingSink sink;
    EXPECT_EQ(discover_run(interfaces, 1, &sink), 0);
    EXPECT_EQ(open_descriptors(), fds_before);

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

    // Every accepted reply is acknowledged once, with the run's session.
    std::vector<std::string> requests = sim_.lines_of("discover");
    ASSERT_FALSE(requests.empty());
    const std::string session = log_field(requests.front(), "session");
    std::vector<std::string> acks = sim_.lines_of("ack");
    EXPECT_EQ(acks.size(), 3u + 1u + 6u + 6u);
    for (const std::string &ack : acks)
        EXPECT_EQ(log_field(ack, "session"), session) << ack;
}

// Each kind of datagram a run meets, with what the plain reply loop makes of
// it: how many of the device's three answers it accepts, and its line.
struct Answer {
    const char *device;
    int accepted;
    const char *line;
};
const Answer ANSWERS[] = {
    {"addr=127.0.0.2", 3, "read_discover_reply: we got a reply :-)\n"},
    {"addr=127.0.0.3,session=other", 0, "read_discover_reply: this isn't the reply we want\n"},
    {"addr=127.0.0.4,reply=wrongtype", 0,
     "read_discover_reply: this doesn't look like a discover reply at all\n"},
    {"addr=127.0.0.5,reply=malformed", 0, "read_discover_packet: got b0rked packet\n"},
    {"addr=127.0.0.6,reply=oversized", 0, "read_discover_packet: got b0rked packet\n"},
};

int occurrences(const std::string &text, const std::string &line)
{
    int n = 0;
    for (size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + 1))
        ++n;
    return n;
}

TEST_F(DiscoveryTest, ReplyLoopAcceptsOnlyRepliesOfItsSession)
{
    std::vector<std::string> devices;
    for (const Answer &a : ANSWERS)
        devices.push_back(a.device);
    ASSERT_TRUE(start_sim(devices));

    const int fds_before = open_descriptors();
    unsigned char session[2];
    fill_session_id(session);
    const in_addr any{};
    int sock = set_discover_socket(&any);
    ASSERT_GE(sock, 0);
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(send_discover(sock, session), 0);

    testing::internal::CaptureStderr();
    int accepted = 0, rejected = 0, got;
    DiscoverEntry entry;
    while ((got = read_discover_reply(sock, session, &entry)) >= 0)
        (got == 1 ? accepted : rejected)++;
    std::string lines = testing::internal::GetCapturedStderr();
    close(sock);
    EXPECT_EQ(open_descriptors(), fds_before);

    EXPECT_EQ(accepted, 3);
    EXPECT_EQ(rejected, 3 * (static_cast<int>(std::size(ANSWERS)) - 1));
    std::map<std::string, int> per_line;
    for (const Answer &a : ANSWERS)
        per_line[a.line] += 3;
    for (const auto &[line, count] : per_line)
        EXPECT_EQ(occurrences(lines, line), count) << line;
    EXPECT_EQ(occurrences(lines, "read_discover_packet: timeout\n"), 1);
    EXPECT_EQ(ipv4_text(entry.ipaddr), "127.0.0.2");
    EXPECT_EQ(sim_.lines_of("ack").size(), 3u);
}

} // namespace
