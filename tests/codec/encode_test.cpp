#include "discover.h"

#include <arpa/inet.h>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <vector>

using Bytes = std::vector<unsigned char>;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace
{

Bytes encode(const DiscoverEntry &entry)
{
    unsigned char packet[MAX_PACKET_LEN];
    int length = encode_discover_packet(&entry, packet);
    return Bytes(packet, packet + length);
}

DiscoverEntry full_record()
{
    DiscoverEntry entry;
    reset_discover_packet(&entry);
    entry.type = DISCOVER_REPLY;
    entry.session_id[0] = 0x12;
    entry.session_id[1] = 0x34;
    std::strcpy(entry.firmware, "v2");
    std::strcpy(entry.hostname, "box");
    const unsigned char mac[6] = {0x00, 0x01, 0x02, 0x03, 0x04, 0x05};
    std::memcpy(&entry.mac, mac, 6);
    inet_pton(AF_INET, "10.1.2.3", &entry.ipaddr);
    inet_pton(AF_INET, "255.0.0.0", &entry.netmask);
    entry.dhcp = 2;
    entry.install_state = 9;
    entry.result = 3;
    return entry;
}

std::string put_field_line(unsigned full, unsigned len)
{
    return "put_field: maximal packet lenght exceeded (max 255 bytes, full " +
           std::to_string(full) + " bytes, trying to insert " + std::to_string(len) + "+2 bytes)\n";
}

} // namespace

TEST(Encode, FullRecordInAttributeOrder)
{
    const Bytes expected = {
        0x02, 0x12, 0x34,                               // discover reply, session 12 34
        0x01, 0x02, 'v',  '2',                          // firmware
        0x02, 0x06, 0x00, 0x01, 0x02, 0x03, 0x04, 0x05, // mac
        0x03, 0x04, 10,   1,    2,    3,                // ipaddr
        0x04, 0x04, 255,  0,    0,    0,                // netmask
        0x05, 0x03, 'b',  'o',  'x',                    // hostname
        0x06, 0x01, 0x02,                               // dhcp travels as stored
        0x07, 0x01, 0x09,                               // install state
        0x08, 0x01, 0x03,                               // result
    };
    EXPECT_EQ(encode(full_record()), expected);
}

TEST(Encode, HeaderOnlyForRequestAndAck)
{
    for (int type : {DISCOVER_REQUEST, DISCOVER_ACK}) {
        DiscoverEntry entry;
        reset_discover_packet(&entry);
        entry.type = type | 0x100; // only the low byte travels
        entry.session_id[0] = 0xff;
        entry.session_id[1] = 0x00;
        EXPECT_EQ(encode(entry), (Bytes{static_cast<unsigned char>(type), 0xff, 0x00}));
    }
}

TEST(Encode, ZeroFieldsAreLeftOut)
{
    DiscoverEntry entry = full_record();
    std::memset(&entry.mac, 0, sizeof(entry.mac));
    entry.ipaddr.s_addr = 0;
    entry.dhcp = 0;
    entry.result = 0;
    entry.firmware[0] = 0;
    const Bytes expected = {
        0x02, 0x12, 0x34,              // header
        0x04, 0x04, 255,  0,   0,   0, // netmask
        0x05, 0x03, 'b',  'o', 'x',    // hostname
        0x07, 0x01, 0x09,              // install state
    };
    EXPECT_EQ(encode(entry), expected);
}

// What does not fit the 255-byte packet is left out with the put_field line,
// and a later attribute that fits still goes in.
TEST(Encode, AttributesThatDoNotFitAreLeftOut)
{
    struct Case {
        const char *name;
        bool full;         // every attribute set, or none but the texts
        size_t firmware;   // bytes of firmware text
        bool unterminated; // host name filling its whole field, without a NUL
        size_t size;       // of the packet
        std::string lines; // put_field lines, in order
    };
    const Case cases[] = {
        {"exactly full", false, 250, false, 255, ""},
        {"one byte too many", false, 251, false, 3, put_field_line(3, 251)},
        {"host name without terminator", false, 0, true, 3, put_field_line(3, TEXT_FIELD_LEN)},
        // 3 + 2 + 238 = 243: the mac still fits (251), the addresses and the
        // host name do not, the dhcp byte does again (254), the rest not.
        {"crowded by firmware", true, 238, false, 254,
         put_field_line(251, 4) + put_field_line(251, 4) + put_field_line(251, 3) +
             put_field_line(254, 1) + put_field_line(254, 1)},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        DiscoverEntry entry = full_record();
        if (!c.full)
            reset_discover_packet(&entry);
        std::memset(entry.firmware, 'f', c.firmware);
        entry.firmware[c.firmware] = 0;
        if (c.unterminated)
            std::memset(entry.hostname, 'h', TEXT_FIELD_LEN);
        CaptureStdout();
        Bytes packet = encode(entry);
        EXPECT_EQ(GetCapturedStdout(), c.lines);
        ASSERT_EQ(packet.size(), c.size);
        if (c.full) {
            EXPECT_EQ(packet[243], ATTR_MAC);
            EXPECT_EQ(packet[251], ATTR_DHCP);
        }
    }
}

TEST(Encode, RoundTripGivesTheSameFields)
{
    DiscoverEntry sent = full_record();
    std::memset(sent.hostname, 0xe9, 100);
    Bytes packet = encode(sent);
    DiscoverEntry got;
    ASSERT_EQ(parse_discover_packet(packet.data(), static_cast<int>(packet.size()), &got), 0);
    sent.dhcp = 1;
    EXPECT_EQ(std::memcmp(&sent, &got, sizeof(sent)), 0);
}
