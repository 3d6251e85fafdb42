// devscout-cli run as a program against simulated devices, each case in a
// private network namespace of its own.
#include "run_program.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <map>
#include <sstream>
#include <unistd.h>

namespace
{

ProgramResult cli(std::vector<std::string> arguments)
{
    arguments.insert(arguments.begin(), CLI_BINARY);
    return run_program(arguments);
}

std::string joined(const std::vector<std::string> &lines)
{
    std::string text;
    for (const std::string &line : lines)
        text += line + "\n";
    return text;
}

// Device texts given byte by byte as %xx escapes.
std::string escaped_bytes(int first, int last)
{
    std::string text;
    char escape[8];
    for (int byte = first; byte <= last; ++byte) {
        std::snprintf(escape, sizeof(escape), "%%%02x", byte);
        text += escape;
    }
    return text;
}

std::string bytes(int first, int last)
{
    std::string text;
    for (int byte = first; byte <= last; ++byte)
        text += static_cast<char>(byte);
    return text;
}

std::string temp_file(const std::string &contents)
{
    char path[] = "/tmp/devscout-cli-test-XXXXXX";
    int fd = mkstemp(path);
    if (fd >= 0) {
        EXPECT_EQ(write(fd, contents.data(), contents.size()),
                  static_cast<ssize_t>(contents.size()));
        close(fd);
    }
    return path;
}

// --- Bad usage: exit status 2, a message naming the argument, nothing sent.

struct BadUsage {
    const char *name;
    std::vector<std::string> arguments;
    const char *named;
};

void PrintTo(const BadUsage &c, std::ostream *os)
{
    *os << c.name;
}

class BadUsageTest : public testing::TestWithParam<BadUsage>
{
};

TEST_P(BadUsageTest, ExitsTwoAndSendsNothing)
{
    SimDevices devices({"--devices", "1"});
    ASSERT_TRUE(devices.ready());
    ProgramResult result = cli(GetParam().arguments);
    EXPECT_EQ(result.status, 2) << result.err;
    EXPECT_NE(result.err.find(GetParam().named), std::string::npos) << result.err;
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(joined(devices.events()), "");
}

const std::string MAC = "02:00:00:00:00:01";

INSTANTIATE_TEST_SUITE_P(
    Cli, BadUsageTest,
    testing::Values(
        BadUsage{"MacText", {"setup", "zz", "127.3.0.1", "255.0.0.0"}, "MAC address 'zz'"},
        BadUsage{"MacSevenBytes",
                 {"setup", "02:00:00:00:00:01:07", "127.3.0.1", "255.0.0.0"},
                 "MAC address"},
        BadUsage{
            "MacNotHex", {"setup", "02:00:00:00:00:0g", "127.3.0.1", "255.0.0.0"}, "MAC address"},
        BadUsage{"MacThreeDigits",
                 {"setup", "02:00:00:00:00:100", "127.3.0.1", "255.0.0.0"},
                 "MAC address"},
        BadUsage{"IpThreeParts", {"setup", MAC, "127.3.0", "255.0.0.0"}, "IP address '127.3.0'"},
        BadUsage{
            "NetmaskHoles", {"setup", MAC, "127.3.0.1", "255.0.255.0"}, "netmask '255.0.255.0'"},
        BadUsage{
            "NetmaskOverflow", {"setup", MAC, "127.3.0.1", "255.0.0.256"}, "netmask '255.0.0.256'"},
        BadUsage{"SetupMissingNetmask", {"setup", MAC, "127.3.0.1"}, "setup takes MAC IP NETMASK"},
        BadUsage{
            "ImageMissing", {"install", MAC, "/nonexistent/image"}, "image '/nonexistent/image'"},
        BadUsage{"ImageDirectory", {"install", MAC, "/tmp"}, "image '/tmp': not a regular file"},
        BadUsage{"MacDashes", {"install", "02-00-00-00-00-01", "/etc/hostname"}, "MAC address"},
        BadUsage{"JsonAndCsv", {"discover", "--json", "--csv"}, "--json and --csv"},
        BadUsage{"OptionOfAnotherCommand", {"discover", "--dhcp"}, "dhcp"},
        BadUsage{
            "UnknownInterface", {"discover", "--interface", "nosuch0"}, "--interface 'nosuch0'"},
        BadUsage{"ForeignBindAddress", {"discover", "--bind", "127.9.9.9"}, "--bind '127.9.9.9'"},
        BadUsage{
            "BadBindAddress", {"discover", "--bind", "300.1.1.1"}, "--bind address '300.1.1.1'"},
        BadUsage{
            "InterfaceAndBind", {"--interface", "lo", "--bind", "127.0.0.1", "discover"}, "--bind"},
        BadUsage{"UnknownCommand", {"frobnicate"}, "unknown command 'frobnicate'"},
        BadUsage{"NoCommand", {}, "no command"}),
    [](const testing::TestParamInfo<BadUsage> &info) { return info.param.name; });

// --- Discovery output: valid for every byte a device may send.

// Decodes UTF-8 whose characters all lie in U+0000..U+00FF back to bytes.
bool latin1_from_utf8(const std::string &text, std::string *out)
{
    out->clear();
    for (size_t i = 0; i < text.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            *out += static_cast<char>(c);
        } else if ((c == 0xc2 || c == 0xc3) && i + 1 < text.size() &&
                   (static_cast<unsigned char>(text[i + 1]) & 0xc0) == 0x80) {
            *out += static_cast<char>(((c & 0x03) << 6) | (text[++i] & 0x3f));
        } else {
            return false;
        }
    }
    return true;
}

// Undoes the \\ and \xHH escapes of the table and CSV.
std::string unescape(const std::string &text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size() && text[i + 1] == '\\') {
            out += '\\';
            ++i;
        } else if (text[i] == '\\' && i + 3 < text.size() && text[i + 1] == 'x') {
            out += static_cast<char>(std::stoi(text.substr(i + 2, 2), nullptr, 16));
            i += 3;
        } else {
            out += text[i];
        }
    }
    return out;
}

bool printable(const std::string &latin1)
{
    for (unsigned char c : latin1)
        if (c < 0x20 || (c >= 0x7f && c < 0xa0))
            return false;
    return true;
}

// Splits RFC 4180 text into records; false on anything the RFC does not allow.
bool parse_csv(const std::string &text, std::vector<std::vector<std::string>> *records)
{
    size_t i = 0;
    while (i < text.size()) {
        std::vector<std::string> record;
        for (;;) {
            std::string field;
            if (text[i] == '"') {
                for (++i;; ++i) {
                    if (i >= text.size())
                        return false;
                    if (text[i] == '"' && (i + 1 >= text.size() || text[i + 1] != '"'))
                        break;
                    if (text[i] == '"')
                        ++i;
                    field += text[i];
                }
                ++i;
            } else {
                while (i < text.size() && text[i] != ',' && text[i] != '\r') {
                    if (text[i] == '"' || text[i] == '\n')
                        return false;
                    field += text[i++];
                }
            }
            record.push_back(field);
            if (i < text.size() && text[i] == ',') {
                ++i;
                continue;
            }
            if (text.compare(i, 2, "\r\n") != 0)
                return false;
            i += 2;
            break;
        }
        records->push_back(record);
    }
    return true;
}

// Two devices carry every byte from 1 to 255 in their texts; a NUL ends one.
const std::string HOST_1 = bytes(0x01, 0x7f), FIRMWARE_1 = bytes(0x80, 0xe0);
const std::string HOST_2 = bytes(0xe1, 0xff), FIRMWARE_2 = "ab";

void check_json(const std::string &out)
{
    const std::string document = temp_file(out);
    // explode gives the code points: each must equal the byte it stands for.
    ProgramResult jq = run_program(
        {JQ_PROGRAM, "-c",
         "sort_by(.ip) | map([.ip, .netmask, .mac, .interface] + ([.hostname, .firmware] | "
         "map(explode)))",
         document});
    unlink(document.c_str());
    ASSERT_EQ(jq.status, 0) << jq.err << out;
    auto points = [](const std::string &text) {
        std::string list;
        for (unsigned char c : text)
            list += (list.empty() ? "" : ",") + std::to_string(c);
        return "[" + list + "]";
    };
    EXPECT_EQ(jq.out, "[[\"127.2.0.1\",\"255.255.0.0\",\"02:aa:00:00:00:01\",\"lo\"," +
                          points(HOST_1) + "," + points(FIRMWARE_1) +
                          "],[\"127.2.0.2\",\"255.0.0.0\",\"02:00:7f:02:00:02\",\"lo\"," +
                          points(HOST_2) + "," + points(FIRMWARE_2) + "]]\n");
}

void check_csv(const std::string &out)
{
    std::vector<std::vector<std::string>> records;
    ASSERT_TRUE(parse_csv(out, &records)) << out;
    ASSERT_EQ(records.size(), 3u) << out;
    EXPECT_EQ(records[0], (std::vector<std::string>{"ip", "netmask", "mac", "hostname", "firmware",
                                                    "interface"}));
    std::map<std::string, std::pair<std::string, std::string>> texts;
    for (size_t r = 1; r < records.size(); ++r) {
        ASSERT_EQ(records[r].size(), 6u);
        std::string host, firmware;
        ASSERT_TRUE(latin1_from_utf8(records[r][3], &host) && printable(host));
        ASSERT_TRUE(latin1_from_utf8(records[r][4], &firmware) && printable(firmware));
        texts[records[r][0]] = {unescape(host), unescape(firmware)};
    }
    EXPECT_EQ(texts["127.2.0.1"], std::make_pair(HOST_1, FIRMWARE_1));
    EXPECT_EQ(texts["127.2.0.2"], std::make_pair(HOST_2, FIRMWARE_2));
}

void check_table(const std::string &out)
{
    std::istringstream lines(out);
    std::vector<size_t> mac_columns;
    for (std::string line; std::getline(lines, line);) {
        std::string latin1;
        ASSERT_TRUE(latin1_from_utf8(line, &latin1) && printable(latin1)) << line;
        size_t mac = latin1.find(mac_columns.empty() ? "MAC" : "02:");
        ASSERT_NE(mac, std::string::npos) << line;
        mac_columns.push_back(mac);
    }
    EXPECT_EQ(mac_columns, std::vector<size_t>(3, mac_columns.at(0)));
}

struct FormatCase {
    const char *name;
    std::vector<std::string> arguments;
    void (*check)(const std::string &out);
};

void PrintTo(const FormatCase &c, std::ostream *os)
{
    *os << c.name;
}

class DiscoverFormatTest : public testing::TestWithParam<FormatCase>
{
};

TEST_P(DiscoverFormatTest, StaysValidForEveryByte)
{
    SimDevices devices({"addr=127.2.0.1,mac=02:aa:00:00:00:01,mask=255.255.0.0,host=" +
                            escaped_bytes(0x01, 0x7f) + ",fw=" + escaped_bytes(0x80, 0xe0),
                        "addr=127.2.0.2,host=" + escaped_bytes(0xe1, 0xff) + ",fw=ab%00cd"});
    ASSERT_TRUE(devices.ready());
    ProgramResult result = cli(GetParam().arguments);
    ASSERT_EQ(result.status, 0) << result.err;
    GetParam().check(result.out);
}

INSTANTIATE_TEST_SUITE_P(
    Cli, DiscoverFormatTest,
    testing::Values(FormatCase{"Json", {"discover", "--json", "--bind", "127.0.0.1"}, check_json},
                    FormatCase{"Csv", {"discover", "--csv"}, check_csv},
                    FormatCase{"Table", {"--interface", "lo", "discover"}, check_table}),
    [](const testing::TestParamInfo<FormatCase> &info) { return info.param.name; });

// --- Setup and install: exit status and what the device saw.

uint32_t fnv1a(const std::string &data)
{
    uint32_t hash = 2166136261u;
    for (unsigned char c : data)
        hash = (hash ^ c) * 16777619u;
    return hash;
}

std::string image_bytes(size_t size)
{
    std::string image(size, '\0');
    uint32_t state = 12345;
    for (char &c : image)
        c = static_cast<char>((state = state * 1103515245u + 12345u) >> 24);
    return image;
}

struct ExchangeCase {
    const char *name;
    std::string device; // extra keys of the device 02:aa:00:00:00:01 at 127.2.0.1
    std::vector<std::string> arguments;
    long image_size; // install: an image of this size goes last; -1 for none
    int status;
    std::string logged;   // in the device's events, or "" for no exchange at all
    std::string reported; // in stdout + stderr
};

void PrintTo(const ExchangeCase &c, std::ostream *os)
{
    *os << c.name;
}

class ExchangeTest : public testing::TestWithParam<ExchangeCase>
{
};

TEST_P(ExchangeTest, EndsWithTheDevicesAnswer)
{
    const ExchangeCase &c = GetParam();
    SimDevices devices({"--devices", "2", "addr=127.2.0.1,mac=02:aa:00:00:00:01" + c.device});
    ASSERT_TRUE(devices.ready());
    std::vector<std::string> arguments = c.arguments;
    const std::string image = image_bytes(c.image_size < 0 ? 0 : c.image_size);
    const std::string path = c.image_size >= 0 ? temp_file(image) : "";
    if (!path.empty())
        arguments.push_back(path);

    ProgramResult result = cli(arguments);
    if (!path.empty())
        unlink(path.c_str());
    EXPECT_EQ(result.status, c.status) << result.out << result.err;
    EXPECT_NE((result.out + result.err).find(c.reported), std::string::npos)
        << result.out << result.err;

    char upload[160];
    std::snprintf(upload, sizeof(upload), "size=%zu received=%zu fnv1a=%08x status=complete",
                  image.size(), image.size(), fnv1a(image));
    const std::string logged = c.logged == "upload" ? upload : c.logged;
    if (!logged.empty()) {
        const std::string log = devices.log_when(logged);
        EXPECT_NE(log.find(logged), std::string::npos) << log;
        return;
    }
    const std::string events = joined(devices.events());
    EXPECT_EQ(events.find("setup "), std::string::npos) << events;
    EXPECT_EQ(events.find("install "), std::string::npos) << events;
}

const std::string DEVICE = "02:aa:00:00:00:01";

INSTANTIATE_TEST_SUITE_P(
    Cli, ExchangeTest,
    testing::Values(
        ExchangeCase{"SetupAccepted",
                     "",
                     {"setup", DEVICE, "127.3.0.9", "255.255.0.0"},
                     -1,
                     0,
                     "mac=02:aa:00:00:00:01 ip=127.3.0.9 netmask=255.255.0.0 dhcp=0 result=2 "
                     "device=127.2.0.1",
                     "got reply from 127.2.0.1: success"},
        ExchangeCase{"SetupDhcp",
                     "",
                     {"setup", "2:AA:0:0:0:1", "0.0.0.0", "0.0.0.0", "--dhcp"},
                     -1,
                     0,
                     "ip=0.0.0.0 netmask=0.0.0.0 dhcp=1 result=2 device=127.2.0.1",
                     "success"},
        ExchangeCase{"SetupBehindTakenAddress",
                     ",ip=127.1.0.1",
                     {"setup", DEVICE, "127.3.0.9", "255.0.0.0"},
                     -1,
                     0,
                     "result=2 device=127.2.0.1",
                     "success"},
        ExchangeCase{"SetupRefused",
                     ",setup=1",
                     {"setup", DEVICE, "127.3.0.9", "255.0.0.0"},
                     -1,
                     1,
                     "result=1 device=127.2.0.1",
                     "refused: setup forbidden"},
        ExchangeCase{"SetupUnanswered",
                     ",setup=none",
                     {"setup", DEVICE, "127.3.0.9", "255.0.0.0"},
                     -1,
                     1,
                     "setup session=",
                     "no reply"},
        ExchangeCase{"SetupUnknownMac",
                     "",
                     {"setup", "02:bb:00:00:00:01", "127.3.0.9", "255.0.0.0"},
                     -1,
                     1,
                     "",
                     "no device with MAC 02:bb:00:00:00:01"},
        ExchangeCase{"InstallSent",
                     "",
                     {"--interface", "lo", "install", DEVICE},
                     100000,
                     0,
                     "upload",
                     "image sent, 100000 bytes"},
        ExchangeCase{"InstallEmptyImage", "", {"install", DEVICE}, 0, 0, "upload", "0 bytes"},
        ExchangeCase{"InstallRefused",
                     ",install=1",
                     {"install", DEVICE},
                     1000,
                     1,
                     "install session=",
                     "refused: install forbidden"},
        ExchangeCase{"InstallCutShort",
                     ",close-after=1000",
                     {"install", DEVICE},
                     8 << 20,
                     1,
                     "received=1000",
                     "upload failed after"}),
    [](const testing::TestParamInfo<ExchangeCase> &info) { return info.param.name; });

} // namespace
