#include "discover.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <vector>

using Bytes = std::vector<unsigned char>;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace
{

int parse(const Bytes &packet, DiscoverEntry *entry)
{
    return parse_discover_packet(packet.data(), static_cast<int>(packet.size()), entry);
}

std::string text(const char *field)
{
    return std::string(field);
}

std::string dotted(in_addr address)
{
    char buffer[INET_ADDRSTRLEN];
    return inet_ntop(AF_INET, &address, buffer, sizeof(buffer));
}

const Bytes reply_packet = {
    0x02, 0xab, 0xcd,                               // discover reply, session ab cd
    0x01, 0x03, 'f',  'w',  '1',                    // firmware "fw1"
    0x02, 0x06, 0x00, 0x0a, 0x95, 0x01, 0x2b, 0xff, // mac 00:0a:95:01:2b:ff
    0x03, 0x04, 192,  168,  1,    20,               // ipaddr 192.168.1.20
    0x04, 0x04, 255,  255,  255,  0,                // netmask 255.255.255.0
    0x05, 0x03, 'n',  'a',  's',                    // hostname "nas"
    0x06, 0x01, 0x07,                               // dhcp 7, read as 1
    0x07, 0x01, 0xfe,                               // install state
    0x08, 0x01, 0x02,                               // result
};

} // namespace

TEST(Parse, DecodesEveryAttribute)
{
    DiscoverEntry entry;
    ASSERT_EQ(parse(reply_packet, &entry), 0);
    EXPECT_EQ(entry.type, DISCOVER_REPLY);
    EXPECT_EQ(entry.session_id[0], 0xab);
    EXPECT_EQ(entry.session_id[1], 0xcd);
    EXPECT_EQ(text(entry.firmware), "fw1");
    EXPECT_EQ(text(entry.hostname), "nas");
    const unsigned char mac[6] = {0x00, 0x0a, 0x95, 0x01, 0x2b, 0xff};
    EXPECT_EQ(std::memcmp(&entry.mac, mac, 6), 0);
    EXPECT_EQ(dotted(entry.ipaddr), "192.168.1.20");
    EXPECT_EQ(dotted(entry.netmask), "255.255.255.0");
    EXPECT_EQ(entry.dhcp, 1);
    EXPECT_EQ(entry.install_state, 0xfe);
    EXPECT_EQ(entry.result, 2);
}

struct ParseCase {
    const char *name;
    Bytes packet;
    int result;
    const char *stderr_text;
};

void PrintTo(const ParseCase &c, std::ostream *os)
{
    *os << c.name;
}

class ParseFaults : public testing::TestWithParam<ParseCase>
{
};

TEST_P(ParseFaults, GiveTheirResultAndLine)
{
    const ParseCase &c = GetParam();
    DiscoverEntry entry;
    std::memset(&entry, 0x5a, sizeof(entry));
    CaptureStderr();
    EXPECT_EQ(parse(c.packet, &entry), c.result);
    EXPECT_EQ(GetCapturedStderr(), c.stderr_text);
}

const char *const short_attr_length =
    "parse_discover_packet: packet is b0rked, not enough space for attribute length\n";
const char *const short_attr =
    "parse_discover_packet: packet is b0rked, not enough space for attribute\n";

INSTANTIATE_TEST_SUITE_P(
    Table, ParseFaults,
    testing::Values(
        ParseCase{"empty", {}, -1, "parse_discover_packet: too short packet (only 0 bytes)\n"},
        ParseCase{"one", {2}, -1, "parse_discover_packet: too short packet (only 1 bytes)\n"},
        ParseCase{"two", {2, 0}, -1, "parse_discover_packet: too short packet (only 2 bytes)\n"},
        ParseCase{"header", {2, 0, 0}, 0, ""},
        ParseCase{"four", {2, 0, 0, 1}, -1, short_attr_length},
        ParseCase{"exact_end", {2, 0, 0, 1, 1, 'x'}, 0, ""},
        ParseCase{"byte_after", {2, 0, 0, 1, 1, 'x', 5}, -1, short_attr_length},
        ParseCase{"past_end", {2, 0, 0, 1, 2, 'x'}, -1, short_attr},
        ParseCase{"mac_len_5",
                  {2, 0, 0, 2, 5, 1, 2, 3, 4, 5},
                  0,
                  "parse_discover_packet: b0rked MAC field length\n"},
        ParseCase{"ip_len_3",
                  {2, 0, 0, 3, 3, 1, 2, 3},
                  0,
                  "parse_discover_packet: b0rked IPv4 addr field length\n"},
        ParseCase{"mask_len_5",
                  {2, 0, 0, 4, 5, 1, 2, 3, 4, 5},
                  0,
                  "parse_discover_packet: b0rked IPv4 addr field length\n"},
        ParseCase{"dhcp_len_0",
                  {2, 0, 0, 6, 0},
                  0,
                  "parse_discover_packet: b0rked DHCP flag field length\n"},
        ParseCase{"state_len_2",
                  {2, 0, 0, 7, 2, 1, 1},
                  0,
                  "parse_discover_packet: b0rked install state field length\n"},
        ParseCase{"result_len_2",
                  {2, 0, 0, 8, 2, 1, 1},
                  0,
                  "parse_discover_packet: b0rked result field length\n"},
        ParseCase{"type_0",
                  {2, 0, 0, 0, 2, 9, 9},
                  0,
                  "parse_discover_packet: ... unknown attribute: type 0x00, length 2\n"},
        ParseCase{"type_ff",
                  {2, 0, 0, 0xff, 1, 0},
                  0,
                  "parse_discover_packet: ... unknown attribute: type 0xff, length 1\n"}),
    [](const testing::TestParamInfo<ParseCase> &info) { return info.param.name; });

TEST(Parse, TooShortLeavesRecordCleared)
{
    DiscoverEntry entry, zero;
    std::memset(&entry, 0x5a, sizeof(entry));
    std::memset(&zero, 0, sizeof(zero));
    CaptureStderr();
    EXPECT_EQ(parse({2, 1}, &entry), -1);
    GetCapturedStderr();
    EXPECT_EQ(std::memcmp(&entry, &zero, sizeof(entry)), 0);
}

TEST(Parse, TruncationAtEveryLengthNeverSucceedsHalfway)
{
    // Every cut inside an attribute is malformed; cuts between attributes
    // decode what came before.
    const std::vector<size_t> boundaries = {3, 8, 16, 22, 28, 33, 36, 39, 42};
    for (size_t len = 0; len < reply_packet.size(); ++len) {
        Bytes cut(reply_packet.begin(), reply_packet.begin() + static_cast<long>(len));
        DiscoverEntry entry;
        CaptureStderr();
        int result = parse(cut, &entry);
        GetCapturedStderr();
        bool boundary = std::find(boundaries.begin(), boundaries.end(), len) != boundaries.end();
        EXPECT_EQ(result, boundary ? 0 : -1) << "length " << len;
    }
}

TEST(Parse, WrongLengthMacKeepsEarlierAttributesAndDropsLater)
{
    const Bytes packet = {
        2, 0, 0,                 // header
        1, 2, 'f', 'w',          // firmware
        2, 5, 1,   2,   3, 4, 5, // mac of length 5: stops decoding
        5, 2, 'h', 'n',          // hostname, never reached
    };
    DiscoverEntry entry;
    CaptureStderr();
    EXPECT_EQ(parse(packet, &entry), 0);
    GetCapturedStderr();
    EXPECT_EQ(text(entry.firmware), "fw");
    EXPECT_EQ(text(entry.hostname), "");
    const unsigned char zero[6] = {};
    EXPECT_EQ(std::memcmp(&entry.mac, zero, 6), 0);
}

TEST(Parse, AttributesAfterUnknownOneAreDecoded)
{
    DiscoverEntry entry;
    CaptureStderr();
    EXPECT_EQ(parse({2, 0, 0, 9, 1, 0, 5, 1, 'h'}, &entry), 0);
    GetCapturedStderr();
    EXPECT_EQ(text(entry.hostname), "h");
}

TEST(Parse, TextRules)
{
    DiscoverEntry entry;
    // Empty value, embedded NUL, and a later shorter value over an earlier one.
    ASSERT_EQ(parse({2, 0, 0, 1, 0, 5, 3, 'a', 0, 'b'}, &entry), 0);
    EXPECT_EQ(text(entry.firmware), "");
    EXPECT_EQ(text(entry.hostname), "a");
    ASSERT_EQ(parse({2, 0, 0, 5, 4, 'l', 'o', 'n', 'g', 5, 2, 'x', 'y'}, &entry), 0);
    EXPECT_EQ(text(entry.hostname), "xyng");

    Bytes full = {2, 0, 0, 1, 250};
    full.insert(full.end(), 250, 0xe9);
    ASSERT_EQ(parse(full, &entry), 0);
    EXPECT_EQ(text(entry.firmware), std::string(250, '\xe9'));
}
