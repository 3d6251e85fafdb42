// devscout-cli run as a program against simulated devices.
#include "exchange_fixture.h"
#include "fd_guard.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <set>
#include <sstream>
#include <sys/stat.h>
#include <tuple>

namespace
{

class CliTest : public ExchangeTest
{
  protected:
    // "install MAC @1000" runs the command with the scratch file 1000 in
    // place of @1000; seconds is how long it took.
    ProgramResult cli(const std::string &command, double *seconds = nullptr)
    {
        std::vector<std::string> argv = {CLI_BINARY};
        std::istringstream words(command);
        for (std::string word; words >> word;)
            argv.push_back(word[0] == '@' ? path(word.substr(1)) : word);
        const auto started = std::chrono::steady_clock::now();
        ProgramResult result = run_program(argv);
        if (seconds != nullptr)
            *seconds =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        return result;
    }

    // The device's log lines up to a request of our own, sent now: the
    // device handles datagrams in order, so these are all it got before.
    std::string requests_so_far()
    {
        const unsigned char marker[2] = {0xfe, 0xed};
        const in_addr any{};
        FdGuard sock(set_discover_socket(&any));
        if (send_discover(sock.get(), marker) < 0 || sim_.wait_for("discover session=feed").empty())
            return "the marker request never reached the log";
        std::string lines;
        for (const std::string &line : sim_.lines_of("")) {
            if (line.rfind("discover session=feed ", 0) == 0)
                break;
            lines += line.rfind("ready ", 0) == 0 ? "" : line + "\n";
        }
        return lines;
    }
};

// Bad usage or input: exit status 2, a message naming the argument, nothing sent.
TEST_F(CliTest, BadUsageExitsTwoAndSendsNothing)
{
    const std::pair<const char *, const char *> cases[] = {
        // command, what the message names
        {"setup zz 192.0.2.10 255.255.255.0", "MAC address 'zz'"},
        {"setup 2:0:0:0:0:1:7 192.0.2.10 255.255.255.0", "MAC address"},
        {"install 02-00-00-00-00-01 @image", "MAC address"},
        {"install 01:00:5e:00:00:01 @image", "MAC address '01:00:5e:00:00:01': a group"},
        {"setup 2:0:0:0:0:1 127.3.0 255.0.0.0", "IP address '127.3.0'"},
        {"setup 2:0:0:0:0:1 0.0.0.0 0.0.0.0", "IP address '0.0.0.0'"},
        {"setup 2:0:0:0:0:1 192.0.2.10 255.0.255.0", "netmask '255.0.255.0'"},
        {"setup 2:0:0:0:0:1 192.0.2.10", "setup takes MAC IP NETMASK"},
        {"install 2:0:0:0:0:1 /nonexistent", "image '/nonexistent'"},
        {"install 2:0:0:0:0:1 @fifo", "fifo': not a regular file"},
        // Write-only for everyone, root included.
        {"install 2:0:0:0:0:1 /proc/sys/vm/drop_caches", "drop_caches': cannot be opened"},
        {"install 2:0:0:0:0:1 @big", "big': larger than 4294967295 bytes"},
        {"install --timeout 0 2:0:0:0:0:1 @image", "--timeout '0'"},
        {"install --timeout 1.5 2:0:0:0:0:1 @image", "--timeout '1.5'"},
        {"--max-time 2147484 discover", "--max-time '2147484'"},
        {"setup --address 127.0.0 2:0:0:0:0:1 192.0.2.10 255.255.255.0", "--address '127.0.0'"},
        {"discover --json --csv", "--json and --csv"},
        {"discover --dhcp", "dhcp"},
        {"discover --interface nosuch0", "--interface 'nosuch0'"},
        {"discover --bind 127.9.9.9", "--bind '127.9.9.9'"},
        {"--interface lo --bind 127.0.0.1 discover", "--bind"},
        {"frobnicate", "unknown command 'frobnicate'"},
        {"", "no command"},
    };
    write_file("image", "x");
    ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0);
    std::filesystem::resize_file(write_file("big", ""), uint64_t{1} << 32);
    ASSERT_TRUE(start_sim({"--devices", "1"}));
    for (const auto &[command, named] : cases) {
        SCOPED_TRACE(command);
        ProgramResult result = cli(command);
        EXPECT_EQ(result.status, 2) << result.err;
        EXPECT_NE(result.err.find(named), std::string::npos) << result.err;
        EXPECT_EQ(result.out, "");
    }
    EXPECT_EQ(requests_so_far(), "");
}

// What only a real run shows: stdout carries the list alone, in the order
// the replies came, with a device's bytes escaped and cut at a NUL, and a
// row for each device that answers for one address (a factory default). A
// run draws a session of its own and asks through the interfaces chosen:
// loopback alone cannot broadcast, so by default the wildcard stands in.
TEST_F(CliTest, DiscoverListsWhatTheChosenInterfacesHear)
{
    ASSERT_TRUE(
        start_sim({"addr=127.2.0.1,mac=02:aa:00:00:00:01,mask=255.255.0.0,host=a%0ab,fw=c%00d",
                   "addr=127.2.0.2,mac=02:aa:00:00:00:02,ip=127.2.0.1,delay=300"}));
    const std::string cases[][3] = {
        // command, stdout, stderr
        {"--no-inventory discover --csv",
         "ip,netmask,mac,hostname,firmware,interface,conflict,vendor,state,first_seen,last_seen\r\n"
         "127.2.0.1,255.255.0.0,02:aa:00:00:00:01,a\\x0ab,c,,02:aa:00:00:00:02,locally "
         "administered,,,\r\n"
         "127.2.0.1,255.0.0.0,02:aa:00:00:00:02,,,,02:aa:00:00:00:01,locally administered,,,\r\n",
         "devscout-cli: no interface that can broadcast; asking through the default route only\n"},
        {"--no-inventory --bind 127.0.0.1 discover",
         "IP         Netmask      MAC                Hostname  Firmware  Interface  "
         "Conflict           Vendor                State  First seen  Last seen\n"
         "127.2.0.1  255.255.0.0  02:aa:00:00:00:01  a\\x0ab    c         lo         "
         "02:aa:00:00:00:02  locally administered\n"
         "127.2.0.1  255.0.0.0    02:aa:00:00:00:02                      lo         "
         "02:aa:00:00:00:01  locally administered\n",
         ""},
    };
    for (const auto &[command, out, err] : cases) {
        SCOPED_TRACE(command);
        ProgramResult result = cli(command);
        EXPECT_EQ(std::tie(result.status, result.out, result.err), std::tuple(0, out, err));
    }
    std::set<std::string> sessions;
    for (const std::string &line : sim_.lines_of("discover "))
        sessions.insert(log_field(line, "session"));
    EXPECT_EQ(sessions.size(), std::size(cases));
}

// Setup and install: exit status and what the device saw.
struct ExchangeCase {
    const char *name;
    const char *device; // keys for 02:aa:00:00:00:01 at 127.2.0.1, more devices
    const char *command;
    int status;
    const char *kind;     // of the device's log line that shows the request; "" for none
    const char *logged;   // in that line; "upload" for the whole image
    const char *reported; // in stdout or stderr
    int seconds = 60;     // the command ends within
};

const ExchangeCase EXCHANGE_CASES[] = {
    {"SetupAccepted", "", "setup 02:aa:00:00:00:01 192.0.2.10 255.255.255.0", 0, "setup",
     "mac=02:aa:00:00:00:01 ip=192.0.2.10 netmask=255.255.255.0 dhcp=0 result=2",
     "setup of 02:aa:00:00:00:01 (127.2.0.1): success"},
    {"SetupDhcp", "", "setup 2:AA:0:0:0:1 0.0.0.0 0.0.0.0 --dhcp", 0, "setup",
     "ip=0.0.0.0 netmask=0.0.0.0 dhcp=1 result=2 device=127.2.0.1", "success"},
    {"SetupRefused", ",setup=1", "setup 02:aa:00:00:00:01 192.0.2.10 255.255.255.0", 1, "setup",
     "result=1 device=127.2.0.1", "refused: setup forbidden"},
    {"SetupNoneAtAddress", "",
     "setup 02:aa:00:00:00:01 192.0.2.10 255.255.255.0 --address 127.0.0.4", 1, "", "",
     "no device with MAC 02:aa:00:00:00:01 at 127.0.0.4"},
    {"SetupUnanswered", ",setup=none", "setup 02:aa:00:00:00:01 192.0.2.10 255.255.255.0", 1,
     "setup", "device=127.2.0.1", "no reply"},
    // A clone answers with the MAC too: nothing is sent until --address picks one,
    // by its reply's source or the address it reports; the other, quicker, is not heard.
    {"CloneRefused", " addr=127.2.0.2,mac=02:aa:00:00:00:01",
     "setup 02:aa:00:00:00:01 192.0.2.10 255.255.255.0", 1, "", "",
     "02:aa:00:00:00:01 is answered by 2 devices: 127.2.0.1, 127.2.0.2; pick one with --address"},
    {"ClonePickedByItsAddress",
     ",setup=1 addr=127.2.0.2,mac=02:aa:00:00:00:01,ip=198.18.0.3,delay=300",
     "setup 02:aa:00:00:00:01 192.0.2.10 255.255.255.0 --address 198.18.0.3", 0, "setup",
     "ip=192.0.2.10", "setup of 02:aa:00:00:00:01 (127.2.0.2): success"},
    {"ClonePickedByItsSource", ",install=1 addr=127.2.0.2,mac=02:aa:00:00:00:01,delay=300",
     "--interface lo install 02:aa:00:00:00:01 @1000 --address 127.2.0.2", 0, "upload", "upload",
     "install on 02:aa:00:00:00:01 (127.2.0.2): image sent, 1000 bytes"},
    {"InstallRefused", ",install=1", "install 02:aa:00:00:00:01 @1000", 1, "install", "result=1",
     "refused: install forbidden"},
    {"InstallReset", ",reset-after=100000", "install 02:aa:00:00:00:01 @8388608", 1, "upload",
     "received=100000 fnv1a=", "of 8388608 bytes: Connection reset by peer"},
    // Larger than the device's receive buffers, so that the stall shows.
    // Without --timeout the upload would wait 30 s.
    {"InstallStalled", ",stall-after=100000", "install 02:aa:00:00:00:01 @16777216 --timeout 1", 1,
     "upload", "received=100000", "device stopped reading after", 15},
    {"InstallPortBlackholed", ",install-port=blackhole",
     "--max-time 1 install 02:aa:00:00:00:01 @1000 --timeout 1", 1, "install", "result=2",
     "cannot connect to the install port: Connection timed out", 6},
};

using SetupInstallTest = CliTest;

TEST_P(SetupInstallTest, EndsWithTheDevicesAnswer)
{
    const ExchangeCase &c = EXCHANGE_CASES[GetParam()];
    std::vector<std::string> devices = {"--devices", "2"};
    std::istringstream more(std::string("addr=127.2.0.1,mac=02:aa:00:00:00:01") + c.device);
    for (std::string device; more >> device;)
        devices.push_back(device);
    ASSERT_TRUE(start_sim(devices));
    const char *size = std::strchr(c.command, '@');
    const std::string image = image_bytes(size != nullptr ? std::atoi(size + 1) : 0);
    write_file(std::to_string(image.size()), image);
    double seconds = 0;
    ProgramResult result = cli(c.command, &seconds);
    EXPECT_EQ(result.status, c.status) << result.out << result.err;
    EXPECT_NE((result.out + result.err).find(c.reported), std::string::npos)
        << result.out << result.err;
    EXPECT_LT(seconds, c.seconds);

    const std::string n = std::to_string(image.size());
    const std::string logged = std::string(c.logged) != "upload"
                                   ? c.logged
                                   : "size=" + n + " received=" + n +
                                         " fnv1a=" + fnv1a(image.data(), image.size()) +
                                         " status=complete";
    if (*c.kind == '\0') {
        const std::string requests = requests_so_far();
        EXPECT_EQ(requests.find("setup "), std::string::npos) << requests;
        return;
    }
    const std::string line = sim_.wait_for(c.kind);
    EXPECT_NE(line.find(logged), std::string::npos) << line;
    // A failed upload names what the device took: what it read, less what a
    // reset may leave unacknowledged, and never the whole image.
    const size_t at = result.err.find(" after ", result.err.rfind("devscout-cli: "));
    if (at == std::string::npos)
        return;
    unsigned long long taken = 0, total = 0;
    ASSERT_EQ(std::sscanf(result.err.c_str() + at, " after %llu of %llu", &taken, &total), 2)
        << result.err;
    EXPECT_GE(taken + (64 << 10), std::stoull(log_field(line, "received"))) << result.err;
    EXPECT_LT(taken, total) << result.err;
    EXPECT_EQ(total, image.size()) << result.err;
}

INSTANTIATE_TEST_SUITE_P(Cli, SetupInstallTest,
                         testing::Range<size_t>(0, std::size(EXCHANGE_CASES)),
                         [](const testing::TestParamInfo<size_t> &info) {
                             return std::string(EXCHANGE_CASES[info.param].name);
                         });

// Replies that repeat forever, valid or not, and junk datagrams bring no new
// device: the run ends 2 s after the last one that did. Devices that keep
// coming end it at --max-time. Without either, it would last 30 s.
TEST_F(CliTest, ChatterDoesNotKeepADiscoveryRunning)
{
    ASSERT_TRUE(start_sim({"addr=127.2.0.1,repeat=20", "addr=127.2.0.2,repeat=20,session=other",
                           "addr=127.2.0.3,repeat=20,reply=malformed", "addr=127.2.0.4,flood=50"}));
    double seconds = 0;
    ProgramResult chatter = cli("discover --csv", &seconds);
    EXPECT_EQ(chatter.status, 0) << chatter.err;
    EXPECT_LT(seconds, 15);
    // Thousands of junk lines would drown the command's own; --verbose shows them.
    EXPECT_EQ(chatter.err.find("read_discover"), std::string::npos) << chatter.err;
    ASSERT_TRUE(sim_.stop());

    ASSERT_TRUE(sim_.start(path("sim2.log"), {"--devices", "300", "--delay-max", "30000"}));
    ProgramResult capped = cli("--max-time 2 --verbose discover --csv", &seconds);
    EXPECT_EQ(capped.status, 0) << capped.err;
    EXPECT_LT(seconds, 15);
    EXPECT_NE(capped.err.find("stopped at the run's limit of 2000 ms"), std::string::npos)
        << capped.err;
}

} // namespace
