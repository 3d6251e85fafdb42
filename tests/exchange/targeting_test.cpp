// SPDX-License-Identifier: GPL-3.0-or-later
// Which requests leave and whose replies count: a request that names no
// single device, or offers an image that cannot be uploaded, never leaves, and
// only the device itself can answer one.
#include "exchange_fixture.h"
#include "fd_guard.h"

#include <chrono>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

using TargetingTest = ExchangeTest;

TEST_F(TargetingTest, BadInputSendsNothing)
{
    const struct {
        bool install;
        const char *mac, *image; // a file in the scratch directory
        int error;
    } cases[] = {
        {false, "00:00:00:00:00:00", "image.bin", EINVAL},
        {false, "01:00:5e:00:00:01", "image.bin", EINVAL},
        {true, "00:00:00:00:00:00", "image.bin", EINVAL},
        {true, "ff:ff:ff:ff:ff:ff", "image.bin", EINVAL},
        {true, "02:00:7f:00:00:02", "fifo", 0}, // no writer: opening it could block
        {true, "02:00:7f:00:00:02", "directory", 0},
        {true, "02:00:7f:00:00:02", "missing", ENOENT},
        {true, "02:00:7f:00:00:02", "socket", ENXIO}, // found, but cannot be opened, even by root
    };
    ASSERT_TRUE(start_sim({"addr=127.0.0.2"}));
    write_file("image.bin", "image");
    ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0);
    ASSERT_EQ(mkdir(path("directory").c_str(), 0700), 0);
    FdGuard unix_socket(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un bound{AF_UNIX, {}};
    std::snprintf(bound.sun_path, sizeof bound.sun_path, "%s", path("socket").c_str());
    ASSERT_EQ(bind(unix_socket.get(), reinterpret_cast<sockaddr *>(&bound), sizeof bound), 0);

    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.mac) + " " + c.image);
        const auto start = std::chrono::steady_clock::now();
        const Outcome refused = c.install ? install(c.mac, path(c.image), nullptr) : setup(c.mac);
        // A request sent would wait 2 s for its reply.
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
        EXPECT_EQ(refused.result, -1);
        EXPECT_EQ(refused.report.stage, STAGE_INPUT) << refused.err;
        EXPECT_EQ(refused.report.error, c.error) << refused.err;
        EXPECT_NE(refused.err.find(c.install ? "do_install: " : "do_setup: "), std::string::npos);
    }
    // A request that leaves now is logged after any that left before it.
    const in_addr any{}, ip{inet_addr("127.0.0.50")}, netmask{inet_addr("255.0.0.0")};
    const ether_addr device = *ether_aton("02:00:7f:00:00:02");
    testing::internal::CaptureStdout();
    EXPECT_EQ(do_setup(&any, &device, &ip, &netmask, 0), 0);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(sim_.lines_of("setup ").size(), 1u);
    EXPECT_TRUE(sim_.lines_of("install ").empty());
}

// The device at 127.0.0.2 refuses, and answers last; two impostors answer
// every request with success, one naming itself, one naming the target.
TEST_F(TargetingTest, OnlyTheDeviceAnswers)
{
    const struct {
        bool install;
        const char *device; // ExchangeOptions.device
        ExchangeStage stage;
        const char *reply_line;
    } cases[] = {
        {false, "127.0.0.2", STAGE_REFUSED, "got reply from 127.0.0.2: setup forbidden\n"},
        {true, "127.0.0.2", STAGE_REFUSED, "got reply from 127.0.0.2: install forbidden\n"},
        // Any sender, but only a reply that names the target.
        {false, "0.0.0.0", STAGE_DONE, "got reply from 127.0.0.4: success\n"},
        {true, "0.0.0.0", STAGE_DONE, "got reply from 127.0.0.4: socket open\n"},
    };
    ASSERT_TRUE(start_sim({"addr=127.0.0.2,setup=1,install=1,delay=300", "addr=127.0.0.3,claim=any",
                           "addr=127.0.0.4,claim=echo,delay=150"}));
    const std::string image = image_bytes(5000), image_path = write_file("image.bin", image);
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.install ? "install" : "setup") + " from " + c.device);
        ExchangeOptions options{};
        options.device.s_addr = inet_addr(c.device);
        const char *target = "02:00:7f:00:00:02";
        const Outcome answer =
            c.install ? install(target, image_path, &options) : setup(target, &options);
        EXPECT_EQ(answer.out, c.reply_line);
        EXPECT_EQ(answer.result, c.stage == STAGE_DONE ? 0 : -1);
        EXPECT_EQ(answer.report.stage, c.stage);
    }
    // Only the accepted impostor got a connection, and the whole image.
    EXPECT_EQ(sim_.lines_of("upload "),
              std::vector<std::string>{"upload device=127.0.0.4 size=5000 received=5000 fnv1a=" +
                                       fnv1a(image, 5000) + " status=complete"});
}
