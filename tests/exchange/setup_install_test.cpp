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

// Device N answers row N's code; each reports another address than its own.
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
        const std::string device = "127.0.0." + std::to_string(n + 2);
        const std::string mac = "02:00:7f:00:00:0" + std::to_string(n + 2);
        SCOPED_TRACE(device);
        const Outcome setup = this->setup(mac.c_str(), nullptr, c.ip, c.netmask, c.dhcp);
        EXPECT_EQ(setup.result, c.code == 2 ? 0 : -1);
        EXPECT_EQ(setup.out, "got reply from " + device + ": " + c.word + "\n");
        const std::string request = sim_.wait_for("setup ", n + 1);
        EXPECT_NE(request.find(" mac=" + mac + " ip=" + c.ip + " netmask=" + c.netmask +
                               " dhcp=" + c.logged_dhcp + " result=" + std::to_string(c.code) +
                               " device=" + device),
                  std::string::npos)
            << request;
        EXPECT_EQ(setup.report.stage, c.code == 2 ? STAGE_DONE : STAGE_REFUSED);
        EXPECT_EQ(setup.report.result, c.code);
        EXPECT_EQ(setup.report.error, 0);
        EXPECT_EQ(inet_ntoa(setup.report.device), device);
    }
}

// When the caller asks to stop: never, 200 ms into the reply wait, 1.5 s
// into the connect (after the device's second to open its port), or 200 ms
// after the last piece the connection took.
enum class Stop { Never, InReplyWait, InConnect, InStall };

struct InstallCase {
    const char *name;
    const char *device_keys; // added to the device's; a byte count there is what it takes
    size_t size;             // of the image
    int timeout_ms;          // for the connect and a stalled upload; 0: the defaults
    Stop stop;
    ExchangeStage stage;
    int error;        // the report's errno; EPIPE will do for ECONNRESET
    const char *word; // in the reply's line, "" for no reply
    const char *line; // in stderr ('%': "ACKED of SIZE", '@': the image), "" for no do_install line
    const char *upload; // the device's upload status ("short": the image shrinks), null when no
                        // connection may be made
};

constexpr size_t MIB = 1024 * 1024;
constexpr const char *OPEN = "socket open", *NO_CONNECT = "do_install: unable to connect to "
                                                          "install socket: Connection ";
static const InstallCase INSTALL_CASES[] = {
    {"Empty", "", 0, 0, Stop::Never, STAGE_DONE, 0, OPEN, "", "complete"},
    {"FiveMiBAndOne", "", 5 * MIB + 1, 0, Stop::Never, STAGE_DONE, 0, OPEN, "", "complete"},
    {"Refused", ",install=1", 100, 0, Stop::Never, STAGE_REFUSED, 0, "install forbidden", "",
     nullptr},
    {"Shrinks", "", MIB, 0, Stop::Never, STAGE_IMAGE, ENODATA, OPEN, "do_install: fread(@) failed",
     "short"},
    {"DeviceCloses", ",close-after=1000", 5 * MIB, 0, Stop::Never, STAGE_UPLOAD, ECONNRESET, OPEN,
     "do_install: ", "closed"},
    {"Reset", ",reset-after=50000", 200 << 10, 0, Stop::Never, STAGE_UPLOAD, ECONNRESET, OPEN,
     "do_install: ", "reset"},
    // Far more than the connection's buffers hold, so that a stall shows.
    {"Stalls", ",stall-after=100000", 16 * MIB, 500, Stop::Never, STAGE_UPLOAD, ETIMEDOUT, OPEN,
     "do_install: device stopped reading after % bytes\n", "stalled"},
    {"BlackHole", ",install-port=blackhole", 100, 500, Stop::Never, STAGE_CONNECT, ETIMEDOUT, OPEN,
     NO_CONNECT, nullptr},
    {"PortClosed", ",install-port=closed", 100, 0, Stop::Never, STAGE_CONNECT, ECONNREFUSED, OPEN,
     NO_CONNECT, nullptr},
    {"StallCancelled", ",stall-after=100000", 16 * MIB, 0, Stop::InStall, STAGE_CANCELLED,
     ECANCELED, OPEN, "do_install: cancelled after % bytes\n", "stalled"},
    {"BlackHoleCancelled", ",install-port=blackhole", 100, 0, Stop::InConnect, STAGE_CANCELLED,
     ECANCELED, OPEN, "do_install: cancelled\n", nullptr},
    {"NoReplyCancelled", ",install=none", 100, 0, Stop::InReplyWait, STAGE_CANCELLED, ECANCELED, "",
     "do_install: cancelled\n", nullptr},
};

// The caller's side: checks each progress call as it comes (after every
// piece of at most 2048 bytes, in order), cuts a shrinking image at the
// first, and asks to stop when the row says.
struct Caller {
    const InstallCase &c;
    std::string shrink_path;
    Clock::time_point start = Clock::now(), last_piece{}, stopped{};
    uint64_t sent = 0, calls = 0;
};

static void on_piece(void *context, uint64_t sent, uint64_t total)
{
    auto *caller = static_cast<Caller *>(context);
    if (caller->calls++ == 0 && !caller->shrink_path.empty()) {
        EXPECT_EQ(truncate(caller->shrink_path.c_str(), 0), 0);
    }
    EXPECT_EQ(total, caller->c.size);
    EXPECT_GT(sent, caller->sent);
    EXPECT_LE(sent - caller->sent, uint64_t{INSTALL_CHUNK});
    caller->sent = sent;
    caller->last_piece = Clock::now();
}

static bool wants_stop(void *context)
{
    auto *caller = static_cast<Caller *>(context);
    const Clock::time_point now = Clock::now(), never{};
    const Stop stop = caller->c.stop;
    if (caller->stopped == never &&
        ((stop == Stop::InReplyWait && now - caller->start >= milliseconds(200)) ||
         (stop == Stop::InConnect && now - caller->start >= milliseconds(1500)) ||
         (stop == Stop::InStall && caller->last_piece != never &&
          now - caller->last_piece >= milliseconds(200))))
        caller->stopped = now;
    return caller->stopped != never;
}

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
    // Where the device's install socket would be, so that a connection that
    // should not be made would show.
    FdGuard port(opens ? -1 : socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    const sockaddr_in at{AF_INET, htons(INSTALL_PORT), {inet_addr("127.0.0.2")}, {}};
    if (!opens) {
        ASSERT_EQ(bind(port.get(), reinterpret_cast<const sockaddr *>(&at), sizeof at), 0);
        ASSERT_EQ(listen(port.get(), 1), 0);
    }

    // A reset races the end of the upload: it gets several tries to pass
    // for a success.
    const int runs = std::strstr(c.device_keys, "reset") != nullptr ? 10 : 1;
    for (int run = 1; run <= runs; ++run) {
        SCOPED_TRACE("run " + std::to_string(run));
        Caller caller{c, shrinks ? image_path : ""};
        ExchangeOptions options{};
        options.stall_timeout_ms = options.connect_timeout_ms = c.timeout_ms;
        options.progress = on_piece;
        options.stop_requested = wants_stop;
        options.context = &caller;
        const Outcome install = this->install("02:00:7f:00:00:02", image_path, &options);
        const Clock::time_point ended = Clock::now();
        const ExchangeReport &report = install.report;

        EXPECT_EQ(install.result, c.stage == STAGE_DONE ? 0 : -1);
        EXPECT_EQ(report.stage, c.stage) << install.err;
        EXPECT_TRUE(report.error == c.error || (c.error == ECONNRESET && report.error == EPIPE))
            << std::strerror(report.error);
        EXPECT_EQ(install.out,
                  *c.word ? "got reply from 127.0.0.2: " + std::string(c.word) + "\n" : "");
        EXPECT_EQ(report.result, !*c.word ? 0 : opens ? RESULT_SUCCESS : RESULT_FORBIDDEN);
        EXPECT_STREQ(inet_ntoa(report.device), *c.word ? "127.0.0.2" : "0.0.0.0");
        std::string line = c.line;
        if (size_t at = line.find('%'); at != std::string::npos)
            line.replace(at, 1, std::to_string(report.acked) + " of " + std::to_string(c.size));
        if (size_t at = line.find('@'); at != std::string::npos)
            line.replace(at, 1, image_path);
        EXPECT_EQ(install.err.find(line.empty() ? "do_install:" : line) == std::string::npos,
                  line.empty())
            << install.err;
        if (c.stop == Stop::Never) {
            EXPECT_LT(ended - caller.start, milliseconds(5000)); // did not wait for the defaults
        } else {
            ASSERT_NE(caller.stopped, Clock::time_point{});
            EXPECT_LT(ended - caller.stopped, milliseconds(1000));
        }

        EXPECT_EQ(report.sent, caller.sent);
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
            EXPECT_EQ(report.sent, c.size);
            EXPECT_EQ(report.acked, c.size);
            EXPECT_EQ(caller.calls, (c.size + INSTALL_CHUNK - 1) / INSTALL_CHUNK);
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
