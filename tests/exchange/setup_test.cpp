// The setup exchange against a simulated device: the word printed for each
// result code, the request as the device received it, and the time-out.
#include "exchange_fixture.h"

#include <unistd.h>

namespace
{

struct SetupCase {
    int code;
    const char *word;
    int ret;
    int stage;
    const char *ip;
    const char *netmask;
    int dhcp;
    const char *logged_dhcp; // the flag as the device decoded it
};

void PrintTo(const SetupCase &c, std::ostream *os)
{
    *os << "result " << c.code;
}

class SetupTest : public ExchangeTest, public testing::WithParamInterface<SetupCase>
{
};

// The address the device reports now, from the first reply to one request.
std::string reported_address()
{
    const in_addr any{};
    int sock = set_discover_socket(&any);
    if (sock < 0)
        return "no socket";
    unsigned char session[2] = {0x51, 0x52};
    DiscoverEntry entry{};
    send_discover(sock, session);
    int got = read_discover_reply(sock, session, &entry);
    close(sock);
    return got == 1 ? ipv4_text(entry.ipaddr) : "no reply";
}

TEST_P(SetupTest, PrintsTheWordAndSucceedsOnlyOnTwo)
{
    const SetupCase &c = GetParam();
    ASSERT_TRUE(start_sim({"addr=127.0.0.2,ip=127.0.0.20,setup=" + std::to_string(c.code)}));
    const ether_addr target = mac("02:00:7f:00:00:02");
    const in_addr any{}, ip = ipv4(c.ip), netmask = ipv4(c.netmask);

    const int fds_before = open_descriptors();
    testing::internal::CaptureStdout();
    EXPECT_EQ(do_setup(&any, &target, &ip, &netmask, c.dhcp), c.ret);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              std::string("got reply from 127.0.0.2: ") + c.word + "\n");
    EXPECT_EQ(open_descriptors(), fds_before);

    std::vector<std::string> requests = sim_.lines_of("setup");
    ASSERT_EQ(requests.size(), 1u);
    const std::string &line = requests[0];
    EXPECT_EQ(log_field(line, "mac"), "02:00:7f:00:00:02") << line;
    EXPECT_EQ(log_field(line, "ip"), c.ip) << line;
    EXPECT_EQ(log_field(line, "netmask"), c.netmask) << line;
    EXPECT_EQ(log_field(line, "dhcp"), c.logged_dhcp) << line;
    EXPECT_EQ(log_field(line, "device"), "127.0.0.2") << line;
    EXPECT_EQ(reported_address(), c.ret == 0 ? c.ip : "127.0.0.20");

    ExchangeReport report{};
    testing::internal::CaptureStdout();
    EXPECT_EQ(do_setup_report(&any, &target, &ip, &netmask, c.dhcp, &report), c.ret);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(report.stage, c.stage);
    EXPECT_EQ(report.result, c.code);
    EXPECT_EQ(report.error, 0);
    EXPECT_EQ(ipv4_text(report.device), "127.0.0.2");
}

INSTANTIATE_TEST_SUITE_P(
    ResultCodes, SetupTest,
    testing::Values(SetupCase{1, "setup forbidden", -1, STAGE_REFUSED, "127.0.0.50", "255.255.0.0",
                              1, "1"},
                    SetupCase{2, "success", 0, STAGE_DONE, "127.0.0.50", "255.255.0.0", 0, "0"},
                    SetupCase{3, "setup_failed", -1, STAGE_REFUSED, "0.0.0.0", "0.0.0.0", 256, "0"},
                    SetupCase{7, "b0rked", -1, STAGE_REFUSED, "0.0.0.0", "255.255.255.0", 1, "1"},
                    SetupCase{0, "b0rked", -1, STAGE_REFUSED, "127.0.0.50", "255.0.0.0", 2, "1"}),
    [](const testing::TestParamInfo<SetupCase> &info) {
        return "Result" + std::to_string(info.param.code);
    });

using SetupSilenceTest = ExchangeTest;

TEST_F(SetupSilenceTest, OnlyForeignRepliesMeansTimeout)
{
    // Every device owns the MAC; none gives an answer the exchange may take.
    ASSERT_TRUE(start_sim({
        "addr=127.0.0.2,mac=02:00:00:00:00:aa,setup=none",
        "addr=127.0.0.3,mac=02:00:00:00:00:aa,session=other",
        "addr=127.0.0.4,mac=02:00:00:00:00:aa,reply=wrongtype",
        "addr=127.0.0.5,mac=02:00:00:00:00:aa,reply=malformed",
    }));
    const ether_addr target = mac("02:00:00:00:00:aa");
    const in_addr any{}, ip = ipv4("127.0.0.50"), netmask = ipv4("255.0.0.0");

    const int fds_before = open_descriptors();
    ExchangeReport report{};
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(do_setup_report(&any, &target, &ip, &netmask, 0, &report), -1);
    std::string errors = testing::internal::GetCapturedStderr();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(open_descriptors(), fds_before);
    EXPECT_NE(errors.find("read_discover_packet: timeout\n"), std::string::npos) << errors;
    EXPECT_EQ(report.stage, STAGE_NO_REPLY);
    EXPECT_EQ(report.result, 0);
    EXPECT_EQ(sim_.lines_of("setup").size(), 4u);
}

} // namespace
