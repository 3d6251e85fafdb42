// SPDX-License-Identifier: GPL-3.0-or-later
// A device behind a router: here - veth - router namespace - veth - device
// namespace. Only --target, or a remembered address asked again, reaches it;
// its exchanges and the checks after them follow it there.
#include "cli_fixture.h"

#include <csignal>
#include <cstdlib>

namespace
{

struct RoutedCase {
    const char *command;
    int status;
    const char *out;         // text that stdout holds
    const char *kind;        // the device's log line that the row looks at, "" for none
    const char *logged;      // text that the line holds
    const char *before = ""; // a command that runs first, sharing the inventory
};

constexpr const char *MAC = "02:aa:00:00:00:07";

const RoutedCase ROUTED_CASES[] = {
    // The limited broadcast stays on this side of the router.
    {"--no-inventory discover", 0, "", "", ""},
    {"setup 02:aa:00:00:00:07 198.18.5.9 255.255.255.0", 1, "", "", ""},
    {"--target 198.18.5.255 --no-inventory discover", 0, "198.18.5.2 ", "ack ", "from=198.18.4.1:"},
    {"--target 198.18.5.2 --no-inventory discover", 0, "198.18.5.2 ", "ack ", "from=198.18.4.1:"},
    {"--target 198.18.5.255 --source-port 40123 setup 02:aa:00:00:00:07 198.18.5.9 255.255.255.0",
     0, "setup of 02:aa:00:00:00:07 (198.18.5.2): success\n", "setup ",
     "from=198.18.4.1:40123 mac=02:aa:00:00:00:07 ip=198.18.5.9 netmask=255.255.255.0 dhcp=0 "
     "result=2"},
    {"--target 198.18.5.2 install 02:aa:00:00:00:07 @1000", 0,
     "install on 02:aa:00:00:00:07 (198.18.5.2): image sent, 1000 bytes\n", "upload ",
     "received=1000 "},
    {"--target 198.18.5.2 --source-port 40123 --no-inventory discover", 0, "198.18.5.2 ",
     "discover ", "from=198.18.4.1:40123 "},
    // Found once through --target, the device is asked at its last address.
    {"--database @db discover --ask-remembered", 0, "198.18.5.2 ", "ack ",
     "from=198.18.4.1:", "--target 198.18.5.2 --database @db discover"},
    {"--database @db discover", 0, "", "", "", "--target 198.18.5.2 --database @db discover"},
    {"--target 198.18.5.255 install 02:aa:00:00:00:07 @1000 --verify 5 --verify-delay 0", 0,
     "02:aa:00:00:00:07 (198.18.5.2): done, 1000 bytes; came back", "upload ", "received=1000 "},
    {"--target 198.18.5.2 --source-port 40123 setup --plan @plan", 0,
     "02:aa:00:00:00:07 (198.18.5.2) \u2192 198.18.5.9 255.255.255.0: done", "setup ",
     "from=198.18.4.1:40123 mac=02:aa:00:00:00:07 ip=198.18.5.9 "},
};

class RoutedCliTest : public CliTest
{
  protected:
    void SetUp() override
    {
        CliTest::SetUp();
        const std::string router = "ip -n " + ns("r"), device = "ip -n " + ns("d");
        const std::string script =
            "set -e; ip netns add " + ns("r") + "; ip netns add " + ns("d") +
            "; ip link add drh0 type veth peer name drr0 netns " + ns("r") +
            "; ip addr add 198.18.4.1/24 dev drh0; ip link set drh0 up" +
            "; ip route add 198.18.5.0/24 via 198.18.4.2; " + router +
            " link add drr1 type veth peer name drd1 netns " + ns("d") + "; " + router +
            " addr add 198.18.4.2/24 dev drr0; " + router + " addr add 198.18.5.1/24 dev drr1; " +
            router + " link set drr0 up; " + router + " link set drr1 up; " + device +
            " addr add 198.18.5.2/24 dev drd1; " + device + " link set drd1 up; " + device +
            " route add default via 198.18.5.1; ip netns exec " + ns("r") +
            " sh -c 'for key in ip_forward conf.all.bc_forwarding conf.drr0.bc_forwarding "
            "conf.drr1.bc_forwarding; do echo 1 > /proc/sys/net/ipv4/$(echo $key | tr . /); "
            "done'";
        ASSERT_EQ(std::system(script.c_str()), 0) << script;
        ASSERT_TRUE(sim_.start(path("sim.log"),
                               {"addr=198.18.5.2,mask=255.255.255.0,mac=" + std::string(MAC)},
                               {"ip", "netns", "exec", ns("d")}));
    }
    void TearDown() override
    {
        if (sim_.running()) {
            EXPECT_TRUE(sim_.stop());
        }
        // Each takes its ends of the veth links along; a set-up that failed
        // early made fewer.
        EXPECT_EQ(std::system(("ip netns del " + ns("d") + " 2>/dev/null; ip netns del " + ns("r") +
                               " 2>/dev/null; true")
                                  .c_str()),
                  0);
        EXPECT_NE(
            std::system(("ip netns list | grep -q devscout-" + std::to_string(getpid())).c_str()),
            0);
        CliTest::TearDown();
    }
    static std::string ns(const std::string &which)
    {
        return "devscout-" + std::to_string(getpid()) + "-" + which;
    }
};

TEST_P(RoutedCliTest, OnlyTargetsReachTheDevice)
{
    const RoutedCase &c = ROUTED_CASES[GetParam()];
    SCOPED_TRACE(c.command);
    const std::string image = image_bytes(1000);
    write_file("1000", image);
    write_file("plan", std::string(MAC) + ",198.18.5.9,255.255.255.0\n");
    double seconds = 0;
    if (*c.before != '\0') {
        ASSERT_EQ(cli(c.before, &seconds).status, 0);
    }
    const size_t asked_before = sim_.lines_of("discover ").size();
    const ProgramResult result = cli(c.command, &seconds);
    EXPECT_EQ(result.status, c.status) << result.err;
    EXPECT_NE(result.out.find(c.out), std::string::npos) << result.out;
    if (*c.kind == '\0') {
        // Not a word of the device in what the program said.
        EXPECT_EQ((result.out + result.err).find("198.18.5.2"), std::string::npos)
            << result.out << result.err;
        EXPECT_EQ(sim_.lines_of("discover ").size(), asked_before);
        return;
    }
    // The command's own line: the last of its kind.
    sim_.wait_for(c.kind);
    const std::string line = sim_.lines_of(c.kind).back();
    EXPECT_NE(line.find(c.logged), std::string::npos) << line;
    if (std::string(c.kind) == "upload ") {
        EXPECT_NE(line.find("fnv1a=" + fnv1a(image, image.size())), std::string::npos) << line;
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, RoutedCliTest, testing::Range<size_t>(0, std::size(ROUTED_CASES)));

// A watch asks the remembered device again at every run: it never goes.
TEST_F(RoutedCliTest, WatchAsksTheRememberedDevice)
{
    double seconds = 0;
    ASSERT_EQ(cli("--target 198.18.5.2 --database @db discover", &seconds).status, 0);
    const pid_t watch = start(argv_of("--database @db discover --watch 1 --ask-remembered"));
    // Three requests a run: the first watch run's, then the second's.
    EXPECT_NE(sim_.wait_for("discover ", 6), "");
    EXPECT_NE(sim_.wait_for("discover ", 9), "");
    EXPECT_EQ(end_with(watch, SIGTERM, 10), 0);
    EXPECT_EQ(read_file("out"), "");
    // Heard through the target, it is not asked a second time.
    const size_t asked = sim_.lines_of("discover ").size();
    EXPECT_EQ(cli("--target 198.18.5.2 --database @db discover --ask-remembered", &seconds).status,
              0);
    EXPECT_EQ(sim_.lines_of("discover ").size(), asked + 3);
}

} // namespace
