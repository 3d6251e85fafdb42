// devscout-cli run as a program against simulated devices.
#include "exchange_fixture.h"
#include "fd_guard.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace
{

class CliTest : public ExchangeTest
{
  protected:
    // "install MAC @1000" runs the command with image_path in place of @1000.
    ProgramResult cli(const std::string &command, const std::string &image_path = "")
    {
        std::vector<std::string> argv = {CLI_BINARY};
        std::istringstream words(command);
        for (std::string word; words >> word;)
            argv.push_back(word[0] == '@' ? image_path : word);
        return run_program(argv);
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
            if (line.rfind("ready ", 0) != 0)
                lines += line + "\n";
        }
        return lines;
    }
};

std::string bytes(int first, int last)
{
    std::string text;
    for (int byte = first; byte <= last; ++byte)
        text += static_cast<char>(byte);
    return text;
}

// A device text given byte by byte as %xx escapes.
std::string escaped(const std::string &text)
{
    std::string out;
    for (unsigned char byte : text)
        out += {'%', "0123456789abcdef"[byte >> 4], "0123456789abcdef"[byte & 15]};
    return out;
}

// Bad usage: exit status 2, a message naming the argument, nothing sent.
TEST_F(CliTest, BadUsageExitsTwoAndSendsNothing)
{
    const std::pair<const char *, const char *> cases[] = {
        // command, what the message names
        {"setup zz 127.3.0.1 255.0.0.0", "MAC address 'zz'"},
        {"setup 2:0:0:0:0:1:7 127.3.0.1 255.0.0.0", "MAC address"},
        {"setup 02:00:00:00:00:0g 127.3.0.1 255.0.0.0", "MAC address"},
        {"install 02-00-00-00-00-01 /etc/hostname", "MAC address"},
        {"setup 2:0:0:0:0:1 127.3.0 255.0.0.0", "IP address '127.3.0'"},
        {"setup 2:0:0:0:0:1 127.3.0.1 255.0.255.0", "netmask '255.0.255.0'"},
        {"setup 2:0:0:0:0:1 127.3.0.1", "setup takes MAC IP NETMASK"},
        {"install 2:0:0:0:0:1 /nonexistent", "image '/nonexistent'"},
        {"install 2:0:0:0:0:1 /tmp", "image '/tmp': not a regular file"},
        {"discover --json --csv", "--json and --csv"},
        {"discover --dhcp", "dhcp"},
        {"discover --interface nosuch0", "--interface 'nosuch0'"},
        {"discover --bind 127.9.9.9", "--bind '127.9.9.9'"},
        {"--interface lo --bind 127.0.0.1 discover", "--bind"},
        {"frobnicate", "unknown command 'frobnicate'"},
        {"", "no command"},
    };
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

// Discovery output: valid for every byte a device may send. Two devices
// carry every byte from 1 to 255 in their texts; a NUL ends one.
const std::string HOST_1 = bytes(0x01, 0x7f), FIRMWARE_1 = bytes(0x80, 0xe0);
const std::string HOST_2 = bytes(0xe1, 0xff), FIRMWARE_2 = "ab";

// Reads table or CSV text back into bytes: UTF-8 of Latin-1 characters, no
// raw control characters, \\ and \xHH escapes. False when it is not such text.
bool decode(const std::string &text, std::string *out)
{
    out->clear();
    for (size_t i = 0; i < text.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if ((c == 0xc2 || c == 0xc3) && i + 1 < text.size() && (text[i + 1] & 0xc0) == 0x80)
            c = static_cast<unsigned char>(((c & 0x03) << 6) | (text[++i] & 0x3f));
        else if (c >= 0x80)
            return false;
        if (c < 0x20 || (c >= 0x7f && c < 0xa0))
            return false;
        if (c == '\\' && text.compare(i, 2, "\\\\") == 0)
            ++i;
        else if (c == '\\' && text.compare(i, 2, "\\x") == 0 && i + 3 < text.size())
            c = static_cast<unsigned char>(std::stoi(text.substr((i += 3) - 1, 2), nullptr, 16));
        *out += static_cast<char>(c);
    }
    return true;
}

// RFC 4180 records of decoded fields; false on anything the RFC forbids.
bool parse_csv(const std::string &text, std::vector<std::vector<std::string>> *records)
{
    for (size_t i = 0; i < text.size();) {
        std::vector<std::string> record;
        for (bool more = true; more;) {
            std::string field;
            if (text[i] == '"') {
                for (++i; i < text.size() && (text[i] != '"' || text[i + 1] == '"'); ++i)
                    field += text[text[i] == '"' ? i++ : i];
                if (i++ >= text.size())
                    return false;
            } else {
                for (; i < text.size() && text[i] != ',' && text[i] != '\r'; ++i)
                    if (text[i] == '"' || text[i] == '\n')
                        return false;
                    else
                        field += text[i];
            }
            record.emplace_back();
            if (!decode(field, &record.back()))
                return false;
            more = i < text.size() && text[i] == ',';
            if (!more && text.compare(i, 2, "\r\n") != 0)
                return false;
            i += more ? 1 : 2;
        }
        records->push_back(record);
    }
    return true;
}

TEST_F(CliTest, DiscoverOutputStaysValidForEveryByte)
{
    ASSERT_TRUE(start_sim({"addr=127.2.0.1,mac=02:aa:00:00:00:01,mask=255.255.0.0,host=" +
                               escaped(HOST_1) + ",fw=" + escaped(FIRMWARE_1),
                           "addr=127.2.0.2,host=" + escaped(HOST_2) + ",fw=ab%00cd"}));

    ProgramResult json = cli("discover --json --bind 127.0.0.1");
    ASSERT_EQ(json.status, 0) << json.err;
    // explode gives the code points: each must equal the byte it stands for.
    ProgramResult jq = run_program(
        {JQ_PROGRAM, "-e",
         "sort_by(.ip) | map([.ip, .netmask, .mac, .interface, (.hostname, .firmware | explode)])"
         " == [[\"127.2.0.1\", \"255.255.0.0\", \"02:aa:00:00:00:01\", \"lo\", [range(1; 128)],"
         " [range(128; 225)]], [\"127.2.0.2\", \"255.0.0.0\", \"02:00:7f:02:00:02\", \"lo\","
         " [range(225; 256)], [97, 98]]]",
         write_file("devices.json", json.out)});
    EXPECT_EQ(jq.status, 0) << jq.out << jq.err << json.out;

    ProgramResult csv = cli("discover --csv");
    ASSERT_EQ(csv.status, 0) << csv.err;
    std::vector<std::vector<std::string>> records;
    ASSERT_TRUE(parse_csv(csv.out, &records)) << csv.out;
    ASSERT_EQ(records.size(), 3u) << csv.out;
    EXPECT_EQ(records[0], (std::vector<std::string>{"ip", "netmask", "mac", "hostname", "firmware",
                                                    "interface"}));
    if (records[1][0] != "127.2.0.1")
        std::swap(records[1], records[2]);
    EXPECT_EQ(records[1], (std::vector<std::string>{"127.2.0.1", "255.255.0.0", "02:aa:00:00:00:01",
                                                    HOST_1, FIRMWARE_1, ""}));
    EXPECT_EQ(records[2], (std::vector<std::string>{"127.2.0.2", "255.0.0.0", "02:00:7f:02:00:02",
                                                    HOST_2, FIRMWARE_2, ""}));

    ProgramResult table = cli("--interface lo discover");
    ASSERT_EQ(table.status, 0) << table.err;
    std::istringstream lines(table.out);
    std::string all;
    for (std::string line, decoded; std::getline(lines, line); all += decoded + "\n")
        ASSERT_TRUE(decode(line, &decoded)) << line;
    EXPECT_NE(all.find(HOST_1 + "  " + FIRMWARE_1 + "  lo\n"), std::string::npos) << table.out;
    EXPECT_NE(all.find(HOST_2), std::string::npos) << table.out;
}

// Setup and install: exit status and what the device saw.
struct ExchangeCase {
    const char *name;
    const char *device; // more keys of the device 02:aa:00:00:00:01 at 127.2.0.1
    const char *command;
    int status;
    const char *kind;     // of the device's log line that shows the request; "" for none
    const char *logged;   // in that line; "upload" for the whole image
    const char *reported; // in stdout or stderr
};

const ExchangeCase EXCHANGE_CASES[] = {
    {"SetupAccepted", "", "setup 02:aa:00:00:00:01 127.3.0.9 255.255.0.0", 0, "setup",
     "mac=02:aa:00:00:00:01 ip=127.3.0.9 netmask=255.255.0.0 dhcp=0 result=2",
     "got reply from 127.2.0.1: success"},
    {"SetupDhcp", "", "setup 2:AA:0:0:0:1 0.0.0.0 0.0.0.0 --dhcp", 0, "setup",
     "ip=0.0.0.0 netmask=0.0.0.0 dhcp=1 result=2 device=127.2.0.1", "success"},
    {"SetupBehindTakenAddress", ",ip=127.1.0.1", "setup 02:aa:00:00:00:01 127.3.0.9 255.0.0.0", 0,
     "setup", "result=2 device=127.2.0.1", "success"},
    {"SetupRefused", ",setup=1", "setup 02:aa:00:00:00:01 127.3.0.9 255.0.0.0", 1, "setup",
     "result=1 device=127.2.0.1", "refused: setup forbidden"},
    {"SetupUnanswered", ",setup=none", "setup 02:aa:00:00:00:01 127.3.0.9 255.0.0.0", 1, "setup",
     "device=127.2.0.1", "no reply"},
    {"SetupUnknownMac", "", "setup 02:bb:00:00:00:01 127.3.0.9 255.0.0.0", 1, "", "",
     "no device with MAC 02:bb:00:00:00:01"},
    {"InstallSent", "", "--interface lo install 02:aa:00:00:00:01 @100000", 0, "upload", "upload",
     "image sent, 100000 bytes"},
    {"InstallEmptyImage", "", "install 02:aa:00:00:00:01 @0", 0, "upload", "upload",
     "image sent, 0 bytes"},
    {"InstallRefused", ",install=1", "install 02:aa:00:00:00:01 @1000", 1, "install", "result=1",
     "refused: install forbidden"},
    {"InstallCutShort", ",close-after=1000", "install 02:aa:00:00:00:01 @8388608", 1, "upload",
     "received=1000", "upload failed after"},
};

using SetupInstallTest = CliTest;

TEST_P(SetupInstallTest, EndsWithTheDevicesAnswer)
{
    const ExchangeCase &c = EXCHANGE_CASES[GetParam()];
    ASSERT_TRUE(start_sim(
        {"--devices", "2", std::string("addr=127.2.0.1,mac=02:aa:00:00:00:01") + c.device}));
    const char *size = std::strchr(c.command, '@');
    const std::string image = image_bytes(size != nullptr ? std::atoi(size + 1) : 0);
    ProgramResult result = cli(c.command, write_file("image", image));
    EXPECT_EQ(result.status, c.status) << result.out << result.err;
    EXPECT_NE((result.out + result.err).find(c.reported), std::string::npos)
        << result.out << result.err;

    const std::string n = std::to_string(image.size());
    const std::string logged = std::string(c.logged) != "upload"
                                   ? c.logged
                                   : "size=" + n + " received=" + n +
                                         " fnv1a=" + fnv1a(image.data(), image.size()) +
                                         " status=complete";
    if (*c.kind == '\0') {
        const std::string requests = requests_so_far();
        EXPECT_EQ(requests.find("setup "), std::string::npos) << requests;
    } else {
        const std::string line = sim_.wait_for(c.kind);
        EXPECT_NE(line.find(logged), std::string::npos) << line;
    }
}

INSTANTIATE_TEST_SUITE_P(Cli, SetupInstallTest,
                         testing::Range<size_t>(0, std::size(EXCHANGE_CASES)),
                         [](const testing::TestParamInfo<size_t> &info) {
                             return std::string(EXCHANGE_CASES[info.param].name);
                         });

} // namespace
