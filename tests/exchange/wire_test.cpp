// SPDX-License-Identifier: GPL-3.0-or-later
// Single sends and reads on real sockets, checked from a device's socket on
// the discover port.
#include "exchange_fixture.h"
#include "fd_guard.h"

#include <sys/socket.h>

using WireTest = ExchangeTest;
using Bytes = std::vector<unsigned char>;

TEST_F(WireTest, RequestsAcknowledgementsAndReads)
{
    const unsigned char session[2] = {0x5e, 0xa1};
    const Bytes ack = {3, 0x5e, 0xa1};
    const in_addr any{};
    FdGuard device(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)), host(set_discover_socket(&any));
    const sockaddr_in port{AF_INET, htons(DISCOVER_PORT), {}, {}};
    ASSERT_EQ(bind(device.get(), reinterpret_cast<const sockaddr *>(&port), sizeof port), 0);
    const timeval wait{0, 300000};
    setsockopt(device.get(), SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    sockaddr_in to{};
    socklen_t length = sizeof to;
    ASSERT_EQ(getsockname(host.get(), reinterpret_cast<sockaddr *>(&to), &length), 0);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    auto receive = [&] { // empty when nothing came
        unsigned char buffer[512];
        const ssize_t got = recv(device.get(), buffer, sizeof buffer, 0);
        return got < 0 ? Bytes{} : Bytes(buffer, buffer + got);
    };
    auto send = [&](const Bytes &datagram) {
        return sendto(device.get(), datagram.data(), datagram.size(), 0,
                      reinterpret_cast<const sockaddr *>(&to), sizeof to);
    };

    ASSERT_EQ(send_discover(host.get(), session), 0);
    EXPECT_EQ(receive(), (Bytes{1, 0x5e, 0xa1}));
    ASSERT_EQ(send_discover_reply_ack(host.get(), session), 0);
    EXPECT_EQ(receive(), ack);

    // Decoded from its first 255 bytes, where the firmware ends exactly.
    Bytes datagram = {2, 0x5e, 0xa1, 1, 250};
    datagram.resize(300, 'z');
    ASSERT_EQ(send(datagram), 300);
    DiscoverEntry entry;
    EXPECT_EQ(read_discover_reply(host.get(), session, &entry), 1);
    EXPECT_EQ(std::string(entry.firmware), std::string(250, 'z'));
    EXPECT_EQ(receive(), ack);

    // What a reply loop sees: 1 for a reply of its session, acknowledged
    // even without a record to fill; 0 for a datagram to pass over, without
    // an acknowledgement; -1 only when nothing came within the time-out.
    const std::pair<Bytes, int> reads[] = {
        {{2, 0x5e, 0xa1}, 1}, // no record to fill
        {{7, 0x5e, 0xa1}, 0}, // another type
        {{2, 0x5e, 0xa2}, 0}, // another session
        {{2, 0x5e}, 0},       // does not decode
    };
    for (const auto &[datagram, result] : reads) {
        ASSERT_EQ(send(datagram), static_cast<ssize_t>(datagram.size()));
        EXPECT_EQ(read_discover_reply(host.get(), session, nullptr), result);
        EXPECT_EQ(receive(), result == 1 ? ack : Bytes{});
    }
    testing::internal::CaptureStderr();
    EXPECT_EQ(read_discover_reply(host.get(), session, nullptr), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "read_discover_packet: timeout\n");
}
