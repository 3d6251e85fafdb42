// SPDX-License-Identifier: GPL-3.0-or-later
// devscout-cli run as a program against simulated devices.
#include "cli_fixture.h"

#include <cstring>
#include <filesystem>
#include <sys/stat.h>

struct CliCase {
    const char *command;
    const char *devices; // after the device 02:aa:00:00:00:01 at 127.2.0.1: its keys, more devices
    int status;
    const char *out;    // the whole of stdout
    const char *err;    // in stderr
    const char *kind;   // of the device's log line that shows the request; "" for none
    const char *logged; // in that line; "upload" for the whole image
    int seconds = 60;   // the command ends within
};

// Bad usage or input: exit status 2, a message naming the argument, nothing sent.
static CliCase bad(const char *command, const char *named)
{
    return {command, "", 2, "", named, "", ""};
}
static const char *const SETUP = "setup 02:aa:00:00:00:01 192.0.2.10 255.255.255.0";
static const char *const TWO_AT_ONE_ADDRESS =
    ",mask=255.255.0.0,host=a%0ab,fw=c%00d "
    "addr=127.2.0.2,mac=02:aa:00:00:00:02,ip=127.2.0.1,delay=300";

static const CliCase CLI_CASES[] = {
    bad("setup zz 192.0.2.10 255.255.255.0", "MAC address 'zz'"),
    bad("setup 2:0:0:0:0:1 127.3.0 255.0.0.0", "IP address '127.3.0'"),
    bad("setup 2:0:0:0:0:1 192.0.2.10 255.0.255.0", "netmask '255.0.255.0'"),
    bad("setup 2:0:0:0:0:1 192.0.2.10", "setup takes MAC IP NETMASK"),
    bad("install 2:0:0:0:0:1 @fifo", "fifo': not a regular file"),
    // Write-only for everyone, root included.
    bad("install 2:0:0:0:0:1 /proc/sys/vm/drop_caches", "drop_caches': cannot be opened"),
    bad("install 2:0:0:0:0:1 @big", "big': larger than 4294967295 bytes"),
    bad("install --timeout 0 2:0:0:0:0:1 @1", "--timeout '0'"),
    bad("--max-time 2147484 discover", "--max-time '2147484'"),
    bad("setup --address 127.0.0 2:0:0:0:0:1 192.0.2.10 255.255.255.0", "--address '127.0.0'"),
    bad("discover --json --csv", "--json and --csv"),
    bad("discover --dhcp", "dhcp"),
    bad("discover --interface nosuch0", "--interface 'nosuch0'"),
    bad("discover --bind 127.9.9.9", "--bind '127.9.9.9'"),
    bad("--interface lo --bind 127.0.0.1 discover", "--bind"),
    bad("--target 127.2.0.1 --target 0.0.0.0 discover", "--target '0.0.0.0'"),
    bad("--source-port 65536 discover", "--source-port '65536'"),
    bad("--source-port 0 discover", "--source-port '0'"),
    bad("frobnicate", "unknown command 'frobnicate'"),
    // Many devices: one bad value stops them all before anything is sent.
    bad("install 2:0:0:0:0:1 zz @1", "MAC address 'zz'"),
    bad("install 2:0:0:0:0:1 2:0:0:0:0:2 2:0:0:0:0:1 @1", "'2:0:0:0:0:1': given twice"),
    bad("install 2:0:0:0:0:1 2:0:0:0:0:2 @fifo", "fifo': not a regular file"),
    bad("install 2:0:0:0:0:1 @1 --parallel 0", "--parallel '0'"),
    bad("install 2:0:0:0:0:1 @1 --parallel 33", "--parallel '33'"),
    bad("install 2:0:0:0:0:1 2:0:0:0:0:2 @1 --address 127.0.0.1", "--address picks one"),
    bad("install 2:0:0:0:0:1", "install takes MAC [MAC...] IMAGE"),
    bad("setup 2:0:0:0:0:1 --from 198.18.0.10 255.0.255.0", "netmask '255.0.255.0'"),
    bad("setup 2:0:0:0:0:1 --from 198.18.0.255 255.255.255.0", "--from '198.18.0.255'"),
    bad("setup --from 198.18.0.10 255.255.255.0", "takes MAC [MAC...] NETMASK"),
    bad("setup --plan /nonexistent/plan.csv", "cannot read '/nonexistent/plan.csv'"),
    bad("setup --plan @1", "1': line 1: expected mac,ip,netmask[,dhcp]"),
    bad("setup --plan @1 2:0:0:0:0:1", "takes no other values"),
    bad("setup --plan @1 --from 198.18.0.10", "exclude each other"),
    bad("setup 2:0:0:0:0:1 192.0.2.10 255.255.255.0 --dry-run", "--dry-run applies"),
    bad("", "no command"),
    // What only a real run shows: stdout carries the list alone, in the order
    // the replies came, with a device's bytes escaped and cut at a NUL, and a
    // row for each device that answers for one address (a factory default).
    // Loopback alone cannot broadcast, so by default the wildcard stands in.
    {"--no-inventory discover --csv", TWO_AT_ONE_ADDRESS, 0,
     "ip,netmask,mac,hostname,firmware,interface,conflict,vendor,state,first_seen,last_seen\r\n"
     "127.2.0.1,255.255.0.0,02:aa:00:00:00:01,a\\x0ab,c,,02:aa:00:00:00:02,locally "
     "administered,,,\r\n"
     "127.2.0.1,255.0.0.0,02:aa:00:00:00:02,,,,02:aa:00:00:00:01,locally administered,,,\r\n",
     "devscout-cli: no interface that can broadcast; asking through the default route only\n", "",
     ""},
    {"--no-inventory --bind 127.0.0.1 discover", TWO_AT_ONE_ADDRESS, 0,
     "IP         Netmask      MAC                Hostname  Firmware  Interface  "
     "Conflict           Vendor                State  First seen  Last seen\n"
     "127.2.0.1  255.255.0.0  02:aa:00:00:00:01  a\\x0ab    c         lo         "
     "02:aa:00:00:00:02  locally administered\n"
     "127.2.0.1  255.0.0.0    02:aa:00:00:00:02                      lo         "
     "02:aa:00:00:00:01  locally administered\n",
     "", "", ""},
    // Setup and install: the one line on stdout or stderr, and what the device saw.
    {"--verbose setup 02:aa:00:00:00:01 192.0.2.10 255.255.255.0", " --devices 2", 0,
     "setup of 02:aa:00:00:00:01 (127.2.0.1): success\n", "", "setup",
     "mac=02:aa:00:00:00:01 ip=192.0.2.10 netmask=255.255.255.0 dhcp=0 result=2"},
    {"setup 2:AA:0:0:0:1 0.0.0.0 0.0.0.0 --dhcp", "", 0,
     "setup of 02:aa:00:00:00:01 (127.2.0.1): success\n", "", "setup",
     "ip=0.0.0.0 netmask=0.0.0.0 dhcp=1 result=2 device=127.2.0.1"},
    {SETUP, ",setup=1", 1, "", "refused: setup forbidden", "setup", "result=1 device=127.2.0.1"},
    {SETUP, ",setup=none", 1, "", "no reply", "setup", "device=127.2.0.1"},
    {"setup 02:aa:00:00:00:01 192.0.2.10 255.255.255.0 --address 127.0.0.4", "", 1, "",
     "no device with MAC 02:aa:00:00:00:01 at 127.0.0.4", "", ""},
    // A clone answers with the MAC too, and first: nothing is sent until --address picks one
    // (the devices named in address order), by its reply's source or the address it
    // reports; the other, quicker, is not heard.
    {SETUP, ",delay=300 addr=127.2.0.2,mac=02:aa:00:00:00:01", 1, "",
     "02:aa:00:00:00:01 is answered by 2 devices: 127.2.0.1, 127.2.0.2; pick one with --address",
     "", ""},
    {"setup 02:aa:00:00:00:01 192.0.2.10 255.255.255.0 --address 198.18.0.3",
     ",setup=1 addr=127.2.0.2,mac=02:aa:00:00:00:01,ip=198.18.0.3,delay=300", 0,
     "setup of 02:aa:00:00:00:01 (127.2.0.2): success\n", "", "setup", "ip=192.0.2.10"},
    {"--interface lo install 02:aa:00:00:00:01 @1000 --address 127.2.0.2",
     ",install=1 addr=127.2.0.2,mac=02:aa:00:00:00:01,delay=300", 0,
     "install on 02:aa:00:00:00:01 (127.2.0.2): image sent, 1000 bytes\n", "", "upload", "upload"},
    {"install 02:aa:00:00:00:01 @8388608", ",reset-after=100000", 1, "",
     "of 8388608 bytes: Connection reset by peer", "upload", "received=100000 fnv1a="},
    // Larger than the device's receive buffers, so that the stall shows.
    // Without --timeout the upload would wait 30 s, the connect 5 s.
    {"install 02:aa:00:00:00:01 @16777216 --timeout 1", ",stall-after=100000", 1, "",
     "device stopped reading after", "upload", "received=100000", 15},
    {"--max-time 1 install 02:aa:00:00:00:01 @1000 --timeout 1", ",install-port=blackhole", 1, "",
     "cannot connect to the install port: Connection timed out", "install", "result=2", 6},
};

TEST_P(CliTest, EndsWithItsStatusAndLines)
{
    const CliCase &c = CLI_CASES[GetParam()];
    SCOPED_TRACE(c.command);
    std::vector<std::string> devices;
    std::istringstream words(std::string("addr=127.2.0.1,mac=02:aa:00:00:00:01") + c.devices);
    for (std::string device; words >> device;)
        devices.push_back(device);
    ASSERT_TRUE(start_sim(devices));
    ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0);
    std::filesystem::resize_file(write_file("big", ""), uint64_t{1} << 32);
    const char *size = std::strchr(c.command, '@');
    const std::string image = image_bytes(size != nullptr ? std::atoi(size + 1) : 0);
    write_file(std::to_string(image.size()), image);

    double seconds = 0;
    const ProgramResult result = cli(c.command, &seconds);
    EXPECT_EQ(result.status, c.status) << result.err;
    EXPECT_EQ(result.out, c.out);
    EXPECT_NE(result.err.find(c.err), std::string::npos) << result.err;
    // The protocol's lines, results too, show only with --verbose, and only on stderr.
    EXPECT_EQ(result.err.find("read_discover") != std::string::npos ||
                  result.err.find("got reply") != std::string::npos,
              std::strstr(c.command, "--verbose") != nullptr)
        << result.err;
    EXPECT_LT(seconds, c.seconds);

    if (*c.kind == '\0') {
        const std::string requests = requests_so_far();
        if (c.status == 2) {
            EXPECT_EQ(requests, "");
        }
        EXPECT_EQ(requests.find("setup "), std::string::npos) << requests;
        return;
    }
    const std::string n = std::to_string(image.size());
    const std::string logged = std::string(c.logged) != "upload"
                                   ? c.logged
                                   : "size=" + n + " received=" + n +
                                         " fnv1a=" + fnv1a(image, image.size()) +
                                         " status=complete";
    const std::string line = sim_.wait_for(c.kind);
    EXPECT_NE(line.find(logged), std::string::npos) << line;
}

INSTANTIATE_TEST_SUITE_P(Rows, CliTest, testing::Range<size_t>(0, std::size(CLI_CASES)));

// Devices that keep coming end a run at --max-time; without it, it would
// last 30 s.
TEST_F(CliTest, MaxTimeEndsARunThatDevicesKeepGoing)
{
    ASSERT_TRUE(start_sim({"--devices", "300", "--delay-max", "30000"}));
    double seconds = 0;
    const ProgramResult capped = cli("--max-time 2 --verbose discover --csv", &seconds);
    EXPECT_EQ(capped.status, 0) << capped.err;
    EXPECT_LT(seconds, 15);
    EXPECT_NE(capped.err.find("stopped at the run's limit of 2000 ms"), std::string::npos)
        << capped.err;
    EXPECT_EQ(capped.out.rfind("ip,netmask,mac,", 0), 0u) << capped.out;
    EXPECT_EQ(capped.out.find("read_discover"), std::string::npos) << capped.out;
}
