// Single sends and reads on real sockets, checked from a device's side of the
// wire. Runs in a private network namespace.
#include "discover.h"

#include <arpa/inet.h>
#include <cstring>
#include <dirent.h>
#include <gtest/gtest.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

using Bytes = std::vector<unsigned char>;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace
{

int open_descriptors()
{
    int count = 0;
    DIR *dir = opendir("/proc/self/fd");
    while (dirent *e = readdir(dir))
        count += e->d_name[0] != '.';
    closedir(dir);
    return count - 1; // the directory's own descriptor
}

// A device-side socket on the discover port, and the host's discovery socket.
class Wire : public testing::Test
{
  protected:
    void SetUp() override
    {
        device_ = socket(AF_INET, SOCK_DGRAM, 0);
        ASSERT_GE(device_, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(DISCOVER_PORT);
        ASSERT_EQ(bind(device_, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)), 0)
            << std::strerror(errno);
        timeval wait{0, 300000};
        setsockopt(device_, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof(wait));

        in_addr any{INADDR_ANY};
        host_ = set_discover_socket(&any);
        ASSERT_GE(host_, 0);
        socklen_t len = sizeof(host_addr_);
        getsockname(host_, reinterpret_cast<sockaddr *>(&host_addr_), &len);
        host_addr_.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    }
    void TearDown() override
    {
        close(device_);
        close(host_);
    }

    // What the device side received next, empty when nothing came.
    Bytes device_receive()
    {
        unsigned char buffer[512];
        ssize_t got = recv(device_, buffer, sizeof(buffer), 0);
        return got < 0 ? Bytes{} : Bytes(buffer, buffer + got);
    }
    void device_send(const Bytes &datagram)
    {
        ASSERT_EQ(sendto(device_, datagram.data(), datagram.size(), 0,
                         reinterpret_cast<sockaddr *>(&host_addr_), sizeof(host_addr_)),
                  static_cast<ssize_t>(datagram.size()));
    }

    int device_ = -1;
    int host_ = -1;
    sockaddr_in host_addr_{};
    const unsigned char session_[2] = {0x5e, 0xa1};
};

} // namespace

TEST_F(Wire, RequestAndAckAreThreeBytes)
{
    ASSERT_EQ(send_discover(host_, session_), 0);
    EXPECT_EQ(device_receive(), (Bytes{1, 0x5e, 0xa1}));
    ASSERT_EQ(send_discover_reply_ack(host_, session_), 0);
    EXPECT_EQ(device_receive(), (Bytes{3, 0x5e, 0xa1}));
}

TEST_F(Wire, LongDatagramIsDecodedFromItsFirst255Bytes)
{
    Bytes datagram = {2, 0x5e, 0xa1, 1, 250};
    datagram.resize(300, 'z'); // firmware ends exactly at byte 255
    device_send(datagram);
    DiscoverEntry entry;
    CaptureStderr();
    EXPECT_EQ(read_discover_reply(host_, session_, &entry), 1);
    GetCapturedStderr();
    EXPECT_EQ(std::string(entry.firmware), std::string(250, 'z'));
}

TEST_F(Wire, NullRecordIsStillAcknowledged)
{
    device_send({2, 0x5e, 0xa1});
    CaptureStderr();
    EXPECT_EQ(read_discover_reply(host_, session_, nullptr), 1);
    GetCapturedStderr();
    EXPECT_EQ(device_receive(), (Bytes{3, 0x5e, 0xa1}));
}

// What a reply loop sees: 0 for a datagram to pass over, without an
// acknowledgement, and -1 only when nothing came within the time-out.
TEST_F(Wire, ReadResultsTellTheLoopWhetherToGoOn)
{
    const std::pair<Bytes, int> reads[] = {
        {{7, 0x5e, 0xa1}, 0}, // another type
        {{2, 0x5e, 0xa2}, 0}, // another session
        {{2, 0x5e}, 0},       // does not decode
    };
    for (const auto &[datagram, result] : reads) {
        device_send(datagram);
        CaptureStderr();
        EXPECT_EQ(read_discover_reply(host_, session_, nullptr), result);
        GetCapturedStderr();
    }
    CaptureStderr();
    EXPECT_EQ(read_discover_reply(host_, session_, nullptr), -1);
    EXPECT_EQ(GetCapturedStderr(), "read_discover_packet: timeout\n");
    EXPECT_EQ(device_receive(), Bytes{}) << "a passed-over datagram was acknowledged";
}

TEST(Socket, FailedBindLeavesNoDescriptor)
{
    in_addr foreign;
    inet_pton(AF_INET, "198.18.0.1", &foreign); // not an address of this namespace
    int before = open_descriptors();
    CaptureStderr();
    EXPECT_EQ(set_discover_socket(&foreign), -1);
    EXPECT_EQ(GetCapturedStderr(),
              "discover_set_socket: bind(): Cannot assign requested address\n");
    EXPECT_EQ(open_descriptors(), before);
}
