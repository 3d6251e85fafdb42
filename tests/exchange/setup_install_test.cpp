// SPDX-License-Identifier: GPL-3.0-or-later
// The setup and install exchanges against a simulated device: the word
// printed for each answer, the request and the bytes as the device received
// them, the report, and every way an exchange ends early. None but a whole
// upload may count as a success, and each ends by its deadline.
#include "exchange_fixture.h"
#include "fd_guard.h"

#include <chrono>
#include <csignal>
#include <cstring>
#include <sys/socket.h>

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using SetupTest = ExchangeTest;

// Device 127.0.0.N+2 answers row N's code; each reports another address
// than its own.
TEST_F(SetupTest, PrintsTheWordAndSucceedsOnlyOnTwo)
{
    const struct {
        int code;
        const char *word, *ip, *netmask;
        int dhcp;
        const char *logged_dhcp; // the flag as the device decoded it
    } cases[] = {
        {1, "setup forbidden", "127.0.0.50", "255.255.0.0", 1, "1"},
        {2, "success", "127.0.0.50", "255.255.0.0", 0, "0"},
        {3, "setup_failed", "0.0.0.0", "0.0.0.0", 256, "0"},
        {7, "b0rked", "0.0.0.0", "255.255.255.0", 1, "1"},
        {0, "b0rked", "127.0.0.50", "255.0.0.0", 2, "1"},
    };
    std::vector<std::string> devices;
    for (size_t n = 0; n < std::size(cases); ++n)
        devices.push_back("addr=127.0.0." + std::to_string(n + 2) +
                          ",ip=127.0.0.20,setup=" + std::to_string(cases[n].code));
    ASSERT_TRUE(start_sim(devices));
    for (size_t n = 0; n < std::size(cases); ++n) {
        const auto &c = cases[n];
        const std::string device = "127.0.0." + std::to_string(n + 2),
                          mac = "02:00:7f:00:00:0" + std::to_string(n + 2);
        const Outcome setup = this->setup(mac.c_str(), nullptr, c.ip, c.netmask, c.dhcp);
        EXPECT_EQ(std::tuple(setup.result, setup.report.stage, setup.report.result,
                             setup.report.error, dotted(setup.report.device)),
                  std::tuple(c.code == 2 ? 0 : -1, c.code == 2 ? STAGE_DONE : STAGE_REFUSED, c.code,
                             0, device));
        EXPECT_EQ(setup.out, "got reply from " + device + ": " + c.word + "\n");
        EXPECT_NE(sim_.wait_for("setup ", n + 1)
                      .find(" mac=" + mac + " ip=" + c.ip + " netmask=" + c.netmask +
                            " dhcp=" + c.logged_dhcp + " result=" + std::to_string(c.code) +
                            " device=" + device),
                  std::string::npos)
            << sim_.wait_for("setup ", n + 1);
    }
}

struct InstallCase {
    const char *name;
    const char *device_keys; // added to the device's; a byte count there is what it takes
    size_t size;             // of the image
    int timeout_ms;          // for the connect and a stalled upload; 0: the defaults
    int stop_ms; // the caller asks to stop this long after the start, or for a stalled upload
                 // after the last piece the connection took; 0: never
    ExchangeStage stage;
    int error;        // the report's errno; EPIPE will do for ECONNRESET
    const char *word; // in the reply's line, "" for no reply
    const char *line; // in stderr ('%': "ACKED of SIZE", '@': the image), "" for no do_install line
    const char *upload; // the device's upload status ("short": the image shrinks), null when no
                        // connection may be made
};

constexpr size_t MIB = 1024 * 1024;
static const char *const OPEN = "socket open",
                         *NO_CONNECT = "do_install: unable to connect to install socket: ";
static const InstallCase INSTALL_CASES[] = {
    {"Empty", "", 0, 0, 0, STAGE_DONE, 0, OPEN, "", "complete"},
    {"FiveMiBAndOne", "", 5 * MIB + 1, 0, 0, STAGE_DONE, 0, OPEN, "", "complete"},
    {"Refused", ",install=1", 100, 0, 0, STAGE_REFUSED, 0, "install forbidden", "", nullptr},
    {"Shrinks", "", MIB, 0, 0, STAGE_IMAGE, ENODATA, OPEN, "do_install: fread(@) failed", "short"},
    {"DeviceCloses", ",close-after=1000", 5 * MIB, 0, 0, STAGE_UPLOAD, ECONNRESET, OPEN,
     "do_install: ", "closed"},
    {"Reset", ",reset-after=50000", 200 << 10, 0, 0, STAGE_UPLOAD, ECONNRESET, OPEN,
     "do_install: ", "reset"},
    // Far more than the connection's buffers hold, so that a stall shows.
    {"Stalls", ",stall-after=100000", 16 * MIB, 500, 0, STAGE_UPLOAD, ETIMEDOUT, OPEN,
     "do_install: device stopped reading after % bytes\n", "stalled"},
    {"BlackHole", ",install-port=blackhole", 100, 500, 0, STAGE_CONNECT, ETIMEDOUT, OPEN,
     NO_CONNECT, nullptr},
    {"PortClosed", ",install-port=closed", 100, 0, 0, STAGE_CONNECT, ECONNREFUSED, OPEN, NO_CONNECT,
     nullptr},
    {"StallCancelled", ",stall-after=100000", 16 * MIB, 0, 200, STAGE_CANCELLED, ECANCELED, OPEN,
     "do_install: cancelled after % bytes\n", "stalled"},
    // After the device's second to open its port.
    {"BlackHoleCancelled", ",install-port=blackhole", 100, 0, 1500, STAGE_CANCELLED, ECANCELED,
     OPEN, "do_install: cancelled\n", nullptr},
    {"NoReplyCancelled", ",install=none", 100, 0, 200, STAGE_CANCELLED, ECANCELED, "",
     "do_install: cancelled\n", nullptr},
};

// The caller's side of an install.
struct Caller {
    const InstallCase &c;
    std::string shrink_path; // truncated at the first piece
    Clock::time_point start = Clock::now(), last_piece{}, stopped{};
    uint64_t sent = 0, calls = 0;
};

using InstallTest = ExchangeTest;

TEST_P(InstallTest, EndsAsTheDeviceAndTheCallerLet)
{
    const InstallCase &c = INSTALL_CASES[GetParam()];
    // A write to a closed connection must not kill the process, even when
    // nothing else ignores the signal.
    std::signal(SIGPIPE, SIG_DFL);
    // The device reports another address than its own: the upload must go
    // to the address the reply came from.
    ASSERT_TRUE(start_sim({std::string("addr=127.0.0.2,ip=127.0.0.77") + c.device_keys}));
    const std::string image = image_bytes(c.size), image_path = write_file("image.bin", image);
    const bool opens = std::string(c.word) == OPEN;
    const bool shrinks = c.upload != nullptr && std::strcmp(c.upload, "short") == 0;
    // Listening where the device's install socket would be, so that a
    // connection that should not be made would show.
    FdGuard port(opens ? -1 : socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    const sockaddr_in at{AF_INET, htons(INSTALL_PORT), {inet_addr("127.0.0.2")}, {}};
    ASSERT_TRUE(opens ||
                (bind(port.get(), reinterpret_cast<const sockaddr *>(&at), sizeof at) == 0 &&
                 listen(port.get(), 1) == 0));

    // A reset races the end of the upload: it gets several tries to pass
    // for a success.
    const int runs = std::strstr(c.device_keys, "reset-after") != nullptr ? 10 : 1;
    for (int run = 1; run <= runs; ++run) {
        SCOPED_TRACE("run " + std::to_string(run));
        Caller caller{c, shrinks ? image_path : ""};
        ExchangeOptions options{};
        options.stall_timeout_ms = options.connect_timeout_ms = c.timeout_ms;
        options.context = &caller;
        // Each piece checked as it comes: at most 2048 bytes, in order, and
        // none once the caller asked to stop.
        options.progress = [](void *context, uint64_t sent, uint64_t total) {
            auto *caller = static_cast<Caller *>(context);
            EXPECT_EQ(caller->stopped, Clock::time_point{}) << "sent on after the stop";
            if (caller->calls++ == 0 && !caller->shrink_path.empty()) {
                EXPECT_EQ(truncate(caller->shrink_path.c_str(), 0), 0);
            }
            EXPECT_EQ(total, caller->c.size);
            EXPECT_GT(sent, caller->sent);
            EXPECT_LE(sent - caller->sent, uint64_t{INSTALL_CHUNK});
            caller->sent = sent;
            caller->last_piece = Clock::now();
        };
        options.stop_requested = [](void *context) {
            auto *caller = static_cast<Caller *>(context);
            const bool stalls = std::strstr(caller->c.device_keys, "stall-after") != nullptr;
            const Clock::time_point since = stalls ? caller->last_piece : caller->start;
            if (caller->c.stop_ms > 0 && caller->stopped == Clock::time_point{} &&
                since != Clock::time_point{} &&
                Clock::now() - since >= milliseconds(caller->c.stop_ms))
                caller->stopped = Clock::now();
            return caller->stopped != Clock::time_point{};
        };
        const Outcome install = this->install("02:00:7f:00:00:02", image_path, &options);
        const Clock::time_point ended = Clock::now();
        const ExchangeReport &report = install.report;

        EXPECT_EQ(std::tuple(install.result, report.stage, report.result, dotted(report.device),
                             report.sent),
                  std::tuple(c.stage == STAGE_DONE ? 0 : -1, c.stage,
                             !*c.word ? 0
                             : opens  ? RESULT_SUCCESS
                                      : RESULT_FORBIDDEN,
                             *c.word ? "127.0.0.2" : "0.0.0.0", caller.sent))
            << install.err;
        EXPECT_TRUE(report.error == c.error || (c.error == ECONNRESET && report.error == EPIPE))
            << std::strerror(report.error);
        EXPECT_EQ(install.out,
                  *c.word ? "got reply from 127.0.0.2: " + std::string(c.word) + "\n" : "");
        std::string line = c.line;
        if (size_t at = line.find('%'); at != std::string::npos)
            line.replace(at, 1, std::to_string(report.acked) + " of " + std::to_string(c.size));
        if (size_t at = line.find('@'); at != std::string::npos)
            line.replace(at, 1, image_path);
        EXPECT_EQ(install.err.find(line.empty() ? "do_install:" : line) == std::string::npos,
                  line.empty())
            << install.err;
        // Ended by its deadline: the defaults would take far longer.
        EXPECT_LT(ended - (c.stop_ms > 0 ? caller.stopped : caller.start),
                  milliseconds(c.stop_ms > 0 ? 1000 : 5000));

        if (c.upload == nullptr) {
            EXPECT_TRUE(opens || accept(port.get(), nullptr, nullptr) < 0) << "connected";
            EXPECT_EQ(caller.calls, 0u);
            EXPECT_TRUE(sim_.lines_of("upload ").empty());
            continue;
        }
        const std::string keys = c.device_keys;
        const uint64_t received = c.stage == STAGE_DONE ? c.size
                                  : shrinks             ? report.sent
                                            : std::stoull(keys.substr(keys.find('=') + 1));
        EXPECT_EQ(report.image_size, c.size);
        EXPECT_EQ(sim_.wait_for("upload ", run),
                  "upload device=127.0.0.2 size=" + std::to_string(c.size) +
                      " received=" + std::to_string(received) + " fnv1a=" + fnv1a(image, received) +
                      " status=" + c.upload);
        if (c.stage == STAGE_DONE) {
            EXPECT_EQ(std::tuple(report.acked, report.sent, caller.calls),
                      std::tuple(c.size, c.size, (c.size + INSTALL_CHUNK - 1) / INSTALL_CHUNK));
        } else {
            // A reset may leave the last of what the device read unacknowledged.
            EXPECT_GE(report.acked + (64 << 10), received);
            EXPECT_LT(report.acked, c.size);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, InstallTest, testing::Range<size_t>(0, std::size(INSTALL_CASES)),
                         [](const testing::TestParamInfo<size_t> &info) {
                             return std::string(INSTALL_CASES[info.param].name);
                         });
