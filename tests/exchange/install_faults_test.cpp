// Uploads that the device does not take: a reset part-way, a device that
// stops reading, an install port that never answers, and a caller who stops
// waiting. None may count as a success, and each ends by its deadline.
#include "exchange_fixture.h"

#include <chrono>

namespace
{

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

const ether_addr TARGET = {{0x02, 0x00, 0x7f, 0x00, 0x00, 0x02}}; // the device at 127.0.0.2

using InstallFaultTest = ExchangeTest;

TEST_F(InstallFaultTest, ResetPartWayIsNeverASuccess)
{
    ASSERT_TRUE(start_sim({"addr=127.0.0.2,reset-after=50000"}));
    const std::string image = image_bytes(200 * 1024);
    const std::string image_path = write_file("image.bin", image);
    const std::string logged =
        "upload device=127.0.0.2 size=204800 received=50000 fnv1a=" + fnv1a(image.data(), 50000) +
        " status=reset";
    const in_addr any{};
    // The reset races the end of the upload: the whole image may already be
    // handed to the connection when it comes.
    for (size_t run = 1; run <= 30; ++run) {
        SCOPED_TRACE("run " + std::to_string(run));
        ExchangeReport report{};
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        const int result = do_install_report(&any, &TARGET, image_path.c_str(), nullptr, &report);
        testing::internal::GetCapturedStdout();
        const std::string errors = testing::internal::GetCapturedStderr();
        EXPECT_EQ(result, -1);
        EXPECT_EQ(report.stage, STAGE_UPLOAD) << errors;
        EXPECT_TRUE(report.error == ECONNRESET || report.error == EPIPE) << errors;
        // The device's kernel acknowledges no more than the device read
        // and its receive buffer holds; it may acknowledge less, when the
        // reset overtakes a delayed acknowledgement.
        EXPECT_LT(report.acked, image.size());
        const std::vector<std::string> uploads = sim_.lines_of("upload ");
        ASSERT_EQ(uploads.size(), run);
        EXPECT_EQ(uploads.back(), logged);
    }
}

// When the caller asks to stop: never, 200 ms into the reply wait, 200 ms
// into the connect (after the device's second to open its port), or 200 ms
// after the last piece the connection took.
enum class Stop { Never, InReplyWait, InConnect, InStall };

struct FaultCase {
    const char *name;
    const char *device_keys;
    int stall_timeout_ms;
    int connect_timeout_ms;
    Stop stop;
    ExchangeStage stage;
    int error;
    const char *line;   // '%' stands for "ACKED of SIZE" from the report
    const char *upload; // the device's upload status, null when none may arrive
};

constexpr uint64_t STALL_AFTER = 100000;

const FaultCase FAULT_CASES[] = {
    {"Stalls", ",stall-after=100000", 500, 0, Stop::Never, STAGE_UPLOAD, ETIMEDOUT,
     "do_install: device stopped reading after % bytes\n", "stalled"},
    {"BlackHole", ",install-port=blackhole", 0, 500, Stop::Never, STAGE_CONNECT, ETIMEDOUT,
     "do_install: unable to connect to install socket: Connection timed out\n", nullptr},
    {"PortClosed", ",install-port=closed", 0, 0, Stop::Never, STAGE_CONNECT, ECONNREFUSED,
     "do_install: unable to connect to install socket: Connection refused\n", nullptr},
    {"StallCancelled", ",stall-after=100000", 0, 0, Stop::InStall, STAGE_CANCELLED, ECANCELED,
     "do_install: cancelled after % bytes\n", "stalled"},
    {"BlackHoleCancelled", ",install-port=blackhole", 0, 0, Stop::InConnect, STAGE_CANCELLED,
     ECANCELED, "do_install: cancelled\n", nullptr},
    {"NoReplyCancelled", ",install=none", 0, 0, Stop::InReplyWait, STAGE_CANCELLED, ECANCELED,
     "do_install: cancelled\n", nullptr},
};

struct Caller {
    Stop stop;
    Clock::time_point start = Clock::now();
    Clock::time_point last_piece{};
    Clock::time_point stopped{}; // when the stop was first asked for
};

void note_piece(void *context, uint64_t, uint64_t)
{
    static_cast<Caller *>(context)->last_piece = Clock::now();
}

bool wants_stop(void *context)
{
    auto *caller = static_cast<Caller *>(context);
    const Clock::time_point now = Clock::now();
    bool stop = false;
    switch (caller->stop) {
    case Stop::Never:
        break;
    case Stop::InReplyWait:
        stop = now - caller->start >= milliseconds(200);
        break;
    case Stop::InConnect:
        stop = now - caller->start >= milliseconds(1500);
        break;
    case Stop::InStall:
        stop = caller->last_piece != Clock::time_point{} &&
               now - caller->last_piece >= milliseconds(200);
        break;
    }
    if (stop && caller->stopped == Clock::time_point{})
        caller->stopped = now;
    return stop;
}

using InstallDeadlineTest = ExchangeTest;

TEST_P(InstallDeadlineTest, EndsByItsDeadlineOrOnRequest)
{
    const FaultCase &c = FAULT_CASES[GetParam()];
    ASSERT_TRUE(start_sim({std::string("addr=127.0.0.2") + c.device_keys}));
    // Far more than the connection's buffers hold, so a stall shows.
    const std::string image_path = write_file("image.bin", image_bytes(16 << 20));
    const in_addr any{};
    Caller caller{c.stop};
    ExchangeOptions options{};
    options.stall_timeout_ms = c.stall_timeout_ms;
    options.connect_timeout_ms = c.connect_timeout_ms;
    options.progress = note_piece;
    options.stop_requested = wants_stop;
    options.context = &caller;
    ExchangeReport report{};

    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const int result = do_install_report(&any, &TARGET, image_path.c_str(), &options, &report);
    const Clock::time_point ended = Clock::now();
    testing::internal::GetCapturedStdout();
    const std::string errors = testing::internal::GetCapturedStderr();
    EXPECT_EQ(result, -1);

    EXPECT_EQ(report.stage, c.stage);
    EXPECT_EQ(report.error, c.error);
    std::string line = c.line;
    if (size_t at = line.find('%'); at != std::string::npos)
        line.replace(at, 1,
                     std::to_string(report.acked) + " of " + std::to_string(report.image_size));
    EXPECT_NE(errors.find(line), std::string::npos) << errors;
    if (c.stop == Stop::Never) {
        EXPECT_LT(ended - caller.start, milliseconds(5000)); // did not wait for the defaults
    } else {
        ASSERT_NE(caller.stopped, Clock::time_point{});
        EXPECT_LT(ended - caller.stopped, milliseconds(1000));
    }
    if (c.upload == nullptr) {
        EXPECT_TRUE(sim_.lines_of("upload ").empty());
        return;
    }
    EXPECT_EQ(log_field(sim_.wait_for("upload "), "received"), std::to_string(STALL_AFTER));
    EXPECT_EQ(log_field(sim_.wait_for("upload "), "status"), c.upload);
    EXPECT_EQ(report.image_size, 16u << 20);
    EXPECT_GE(report.acked, STALL_AFTER); // the device's buffers take more than it reads
    EXPECT_LT(report.acked, report.image_size);
}

INSTANTIATE_TEST_SUITE_P(Faults, InstallDeadlineTest,
                         testing::Range<size_t>(0, std::size(FAULT_CASES)),
                         [](const testing::TestParamInfo<size_t> &info) {
                             return std::string(FAULT_CASES[info.param].name);
                         });

} // namespace
