// SPDX-License-Identifier: GPL-3.0-or-later
// The packet codec: the bytes a record encodes to, and what a datagram
// decodes to, malformed ones included.
#include "discover.h"

#include <arpa/inet.h>
#include <cstring>
#include <gtest/gtest.h>
#include <set>
#include <string>
#include <vector>

using Bytes = std::vector<unsigned char>;
using namespace testing::internal;

static Bytes encode(const DiscoverEntry &entry)
{
    unsigned char packet[MAX_PACKET_LEN];
    return Bytes(packet, packet + encode_discover_packet(&entry, packet));
}

// The result, with the lines in *lines.
static int parse(const Bytes &packet, DiscoverEntry *entry, std::string *lines)
{
    CaptureStderr();
    const int result = parse_discover_packet(packet.data(), static_cast<int>(packet.size()), entry);
    *lines = GetCapturedStderr();
    return result;
}

// Every attribute set, and what it encodes to.
static const DiscoverEntry FULL_RECORD = {DISCOVER_REPLY,
                                          {0x12, 0x34},
                                          "v\xe9",
                                          "box",
                                          {{0x00, 0x01, 0x02, 0x03, 0x04, 0x05}},
                                          {htonl(0x0a010203)},
                                          {htonl(0xff000000)},
                                          2,
                                          9,
                                          3};
static const Bytes FULL_PACKET = {
    0x02, 0x12, 0x34,                               // discover reply, session 12 34
    0x01, 0x02, 'v',  0xe9,                         // firmware
    0x02, 0x06, 0x00, 0x01, 0x02, 0x03, 0x04, 0x05, // mac
    0x03, 0x04, 10,   1,    2,    3,                // ipaddr
    0x04, 0x04, 255,  0,    0,    0,                // netmask
    0x05, 0x03, 'b',  'o',  'x',                    // hostname
    0x06, 0x01, 0x02,                               // dhcp travels as stored, decodes as 1
    0x07, 0x01, 0x09,                               // install state
    0x08, 0x01, 0x03,                               // result
};

TEST(Codec, FullRecordBothWays)
{
    EXPECT_EQ(encode(FULL_RECORD), FULL_PACKET);
    DiscoverEntry got;
    std::string lines;
    ASSERT_EQ(parse(FULL_PACKET, &got, &lines), 0);
    EXPECT_EQ(got.dhcp, 1);
    got.dhcp = 2;
    EXPECT_EQ(encode(got), FULL_PACKET);
}

TEST(Codec, ZeroFieldsAreLeftOut)
{
    DiscoverEntry entry = FULL_RECORD;
    entry.mac = {};
    entry.ipaddr.s_addr = 0;
    entry.dhcp = entry.result = 0;
    entry.firmware[0] = 0;
    EXPECT_EQ(encode(entry), (Bytes{0x02, 0x12, 0x34, 0x04, 0x04, 255, 0, 0, 0, // netmask
                                    0x05, 0x03, 'b', 'o', 'x',                  // hostname
                                    0x07, 0x01, 0x09}));                        // install state
}

// What does not fit the 255-byte packet is left out with the put_field line,
// and a later attribute that fits still goes in.
TEST(Codec, AttributesThatDoNotFitAreLeftOut)
{
    auto line = [](unsigned full, unsigned len) {
        return "put_field: maximal packet lenght exceeded (max 255 bytes, full " +
               std::to_string(full) + " bytes, trying to insert " + std::to_string(len) +
               "+2 bytes)\n";
    };
    const struct {
        bool full;         // every attribute set, or none but the texts
        size_t firmware;   // bytes of firmware text
        bool unterminated; // host name filling its whole field, without a NUL
        size_t size;       // of the packet
        std::string lines;
    } cases[] = {
        {false, 250, false, 255, ""},
        {false, 251, false, 3, line(3, 251)},
        {false, 0, true, 3, line(3, TEXT_FIELD_LEN)},
        // 3 + 2 + 238 = 243: the mac still fits (251), the addresses and the
        // host name do not, the dhcp byte does again (254), the rest not.
        {true, 238, false, 254,
         line(251, 4) + line(251, 4) + line(251, 3) + line(254, 1) + line(254, 1)},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.firmware);
        DiscoverEntry entry = FULL_RECORD;
        if (!c.full)
            reset_discover_packet(&entry);
        std::memset(entry.firmware, 'f', c.firmware);
        entry.firmware[c.firmware] = 0;
        if (c.unterminated)
            std::memset(entry.hostname, 'h', TEXT_FIELD_LEN);
        CaptureStdout();
        const Bytes packet = encode(entry);
        EXPECT_EQ(GetCapturedStdout(), c.lines);
        ASSERT_EQ(packet.size(), c.size);
        EXPECT_TRUE(!c.full || (packet[243] == ATTR_MAC && packet[251] == ATTR_DHCP));
    }
}

// What each datagram decodes to: the result, the line, and the texts left in
// the record, which never keeps what it held before.
TEST(Codec, EachDatagramGivesItsResultLineAndTexts)
{
    const std::string too_short = "parse_discover_packet: too short packet (only ",
                      no_room = "parse_discover_packet: packet is b0rked, not enough space for "
                                "attribute",
                      b0rked = "parse_discover_packet: b0rked ",
                      unknown = "parse_discover_packet: ... unknown attribute: type ";
    Bytes full = {2, 0, 0, 1, 250};
    full.insert(full.end(), 250, 0xe9);
    const struct {
        Bytes packet;
        int result;
        std::string line, firmware = {}, hostname = {};
    } cases[] = {
        {{}, -1, too_short + "0 bytes)\n"},
        {{2}, -1, too_short + "1 bytes)\n"},
        {{2, 0}, -1, too_short + "2 bytes)\n"},
        {{2, 0, 0}, 0, ""},
        {{2, 0, 0, 1}, -1, no_room + " length\n"},
        {{2, 0, 0, 1, 1, 'x'}, 0, "", "x"},
        {{2, 0, 0, 1, 1, 'x', 5}, -1, no_room + " length\n", "x"},
        {{2, 0, 0, 1, 2, 'x'}, -1, no_room + "\n"},
        {{2, 0, 0, 3, 3, 1, 2, 3}, 0, b0rked + "IPv4 addr field length\n"},
        {{2, 0, 0, 4, 5, 1, 2, 3, 4, 5}, 0, b0rked + "IPv4 addr field length\n"},
        {{2, 0, 0, 6, 0}, 0, b0rked + "DHCP flag field length\n"},
        {{2, 0, 0, 7, 2, 1, 1}, 0, b0rked + "install state field length\n"},
        {{2, 0, 0, 8, 2, 1, 1}, 0, b0rked + "result field length\n"},
        {{2, 0, 0, 0, 2, 9, 9}, 0, unknown + "0x00, length 2\n"},
        // A fixed-size attribute of the wrong length ends decoding; an
        // unknown one does not.
        {{2, 0, 0, 1, 2, 'f', 'w', 2, 5, 1, 2, 3, 4, 5, 5, 1, 'h'},
         0,
         b0rked + "MAC field length\n",
         "fw"},
        {{2, 0, 0, 0xff, 1, 0, 5, 1, 'h'}, 0, unknown + "0xff, length 1\n", "", "h"},
        // Empty value, embedded NUL, a later shorter value over an earlier one.
        {{2, 0, 0, 1, 0, 5, 3, 'a', 0, 'b'}, 0, "", "", "a"},
        {{2, 0, 0, 5, 4, 'l', 'o', 'n', 'g', 5, 2, 'x', 'y'}, 0, "", "", "xyng"},
        {full, 0, "", std::string(250, '\xe9')},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.packet));
        DiscoverEntry entry;
        std::memset(&entry, 0x5a, sizeof entry);
        std::string line;
        EXPECT_EQ(parse(c.packet, &entry, &line), c.result);
        EXPECT_EQ(line, c.line);
        EXPECT_EQ(entry.firmware, c.firmware);
        EXPECT_EQ(entry.hostname, c.hostname);
    }
}

TEST(Codec, TruncationAtEveryLengthNeverSucceedsHalfway)
{
    // Every cut inside an attribute is malformed; cuts between attributes
    // decode what came before.
    const std::set<size_t> boundaries = {3, 7, 15, 21, 27, 32, 35, 38, 41};
    for (size_t len = 0; len < FULL_PACKET.size(); ++len) {
        DiscoverEntry entry;
        std::string lines;
        EXPECT_EQ(parse(Bytes(FULL_PACKET.begin(), FULL_PACKET.begin() + len), &entry, &lines),
                  boundaries.count(len) ? 0 : -1)
            << "length " << len;
    }
}
