// The setup and install exchanges against a simulated device: the word
// printed for each answer, the request and the bytes as the device received
// them, the report, and every way an exchange can end early.
#include "exchange_fixture.h"
#include "fd_guard.h"

#include <arpa/inet.h>
#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace
{

struct SetupCase {
    int code; // the device's answer
    const char *word;
    const char *ip;
    const char *netmask;
    int dhcp;
    const char *logged_dhcp; // the flag as the device decoded it
};

const SetupCase SETUP_CASES[] = {
    {1, "setup forbidden", "127.0.0.50", "255.255.0.0", 1, "1"},
    {2, "success", "127.0.0.50", "255.255.0.0", 0, "0"},
    {3, "setup_failed", "0.0.0.0", "0.0.0.0", 256, "0"},
    {7, "b0rked", "0.0.0.0", "255.255.255.0", 1, "1"},
    {0, "b0rked", "127.0.0.50", "255.0.0.0", 2, "1"},
};

using SetupTest = ExchangeTest;

TEST_P(SetupTest, PrintsTheWordAndSucceedsOnlyOnTwo)
{
    const SetupCase &c = SETUP_CASES[GetParam()];
    ASSERT_TRUE(start_sim({"addr=127.0.0.2,ip=127.0.0.20,setup=" + std::to_string(c.code)}));
    const ether_addr target = *ether_aton("02:00:7f:00:00:02");
    const in_addr any{}, ip{inet_addr(c.ip)}, netmask{inet_addr(c.netmask)};
    const int ret = c.code == 2 ? 0 : -1;

    testing::internal::CaptureStdout();
    EXPECT_EQ(do_setup(&any, &target, &ip, &netmask, c.dhcp), ret);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              std::string("got reply from 127.0.0.2: ") + c.word + "\n");
    std::vector<std::string> requests = sim_.lines_of("setup ");
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_NE(requests[0].find(std::string(" mac=02:00:7f:00:00:02 ip=") + c.ip +
                               " netmask=" + c.netmask + " dhcp=" + c.logged_dhcp +
                               " result=" + std::to_string(c.code) + " device=127.0.0.2"),
              std::string::npos)
        << requests[0];

    ExchangeReport report{};
    testing::internal::CaptureStdout();
    EXPECT_EQ(do_setup_report(&any, &target, &ip, &netmask, c.dhcp, nullptr, &report), ret);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(report.stage, ret == 0 ? STAGE_DONE : STAGE_REFUSED);
    EXPECT_EQ(report.result, c.code);
    EXPECT_EQ(report.error, 0);
    EXPECT_STREQ(inet_ntoa(report.device), "127.0.0.2");
}

INSTANTIATE_TEST_SUITE_P(ResultCodes, SetupTest, testing::Range<size_t>(0, std::size(SETUP_CASES)),
                         [](const testing::TestParamInfo<size_t> &info) {
                             return "Result" + std::to_string(SETUP_CASES[info.param].code);
                         });

enum class Image { Present, Missing, Shrinking };

struct InstallCase {
    const char *name;
    const char *device_keys; // added to the device's description
    Image image;
    uint64_t size;
    const char *word;
    const char *error; // start of the exchange's failure line ('@': the image), "" for none
    int stage;
    const char *upload; // the device's upload status, null when none may arrive
    int64_t received;   // image bytes the device got; -1: as many as were sent
};

constexpr uint64_t MIB = 1024 * 1024;

const InstallCase INSTALL_CASES[] = {
    {"Empty", "", Image::Present, 0, "socket open", "", STAGE_DONE, "complete", 0},
    {"OnePiece", "", Image::Present, 2048, "socket open", "", STAGE_DONE, "complete", 2048},
    {"TwoPieces", "", Image::Present, 2049, "socket open", "", STAGE_DONE, "complete", 2049},
    {"FiveMiB", "", Image::Present, 5 * MIB, "socket open", "", STAGE_DONE, "complete", 5 * MIB},
    {"Refused", ",install=1", Image::Present, 100, "install forbidden", "", STAGE_REFUSED, nullptr,
     0},
    {"MissingImage", "", Image::Missing, 0, "",
     "do_install: unable to stat image file '@': No such file or directory\n", STAGE_INPUT, nullptr,
     0},
    {"ShrinkingImage", "", Image::Shrinking, MIB, "socket open",
     "do_install: fread(@) failed: ", STAGE_IMAGE, "short", -1},
    {"DeviceCloses", ",close-after=1000", Image::Present, 5 * MIB, "socket open",
     "do_install: ", STAGE_UPLOAD, "closed", 1000},
};

// Checks each progress call as it comes: after every piece of at most 2048
// bytes, in order. A shrinking image is truncated at the first.
struct Progress {
    uint64_t size;
    const char *shrink_path;
    uint64_t sent = 0;
    size_t calls = 0;
};

void check_progress(void *context, uint64_t sent, uint64_t total)
{
    auto *p = static_cast<Progress *>(context);
    if (p->calls++ == 0 && p->shrink_path != nullptr) {
        EXPECT_EQ(truncate(p->shrink_path, 0), 0);
    }
    EXPECT_EQ(total, p->size);
    EXPECT_GT(sent, p->sent);
    EXPECT_LE(sent - p->sent, uint64_t{INSTALL_CHUNK});
    p->sent = sent;
}

// Listens where the device's install socket would be, so that a connection
// that should not be made would show.
int occupy_install_port(const char *address)
{
    int sock = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(INSTALL_PORT);
    local.sin_addr.s_addr = inet_addr(address);
    EXPECT_EQ(bind(sock, reinterpret_cast<sockaddr *>(&local), sizeof local), 0);
    EXPECT_EQ(listen(sock, 1), 0);
    return sock;
}

using InstallTest = ExchangeTest;

TEST_P(InstallTest, SendsTheImageOrFailsWithItsLine)
{
    const InstallCase &c = INSTALL_CASES[GetParam()];
    // A write to a closed connection must not kill the process, even when
    // nothing else ignores the signal.
    std::signal(SIGPIPE, SIG_DFL);
    // The device reports another address than its own: the upload must go
    // to the address the reply came from.
    ASSERT_TRUE(start_sim({std::string("addr=127.0.0.2,ip=127.0.0.77") + c.device_keys}));

    const std::string image = image_bytes(c.size);
    write_file("image.bin", image);
    const std::string image_path = path(c.image == Image::Missing ? "missing.bin" : "image.bin");
    FdGuard guard(c.upload == nullptr ? occupy_install_port("127.0.0.2") : -1);

    const ether_addr target = *ether_aton("02:00:7f:00:00:02");
    const in_addr any{};
    Progress progress{c.size, c.image == Image::Shrinking ? image_path.c_str() : nullptr};
    ExchangeOptions options{};
    options.progress = check_progress;
    options.context = &progress;
    ExchangeReport report{};

    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(do_install_report(&any, &target, image_path.c_str(), &options, &report),
              c.stage == STAGE_DONE ? 0 : -1);
    std::string errors = testing::internal::GetCapturedStderr();
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              *c.word == '\0' ? "" : std::string("got reply from 127.0.0.2: ") + c.word + "\n");

    std::string error = c.error;
    if (size_t at = error.find('@'); at != std::string::npos)
        error.replace(at, 1, image_path);
    if (error.empty()) {
        EXPECT_EQ(errors.find("do_install:"), std::string::npos) << errors;
    } else {
        EXPECT_NE(errors.find(error), std::string::npos) << errors;
    }

    EXPECT_EQ(report.stage, c.stage);
    const bool replied = *c.word != '\0';
    EXPECT_EQ(report.result, !replied              ? 0
                             : c.upload == nullptr ? RESULT_FORBIDDEN
                                                   : RESULT_SUCCESS);
    EXPECT_STREQ(inet_ntoa(report.device), replied ? "127.0.0.2" : "0.0.0.0");
    EXPECT_EQ(report.sent, progress.sent);
    if (c.stage == STAGE_DONE) {
        EXPECT_EQ(report.image_size, c.size);
        EXPECT_EQ(report.sent, c.size);
        EXPECT_EQ(report.acked, c.size);
        EXPECT_EQ(progress.calls, (c.size + INSTALL_CHUNK - 1) / INSTALL_CHUNK);
    }

    if (c.upload == nullptr) {
        EXPECT_LT(accept(guard.get(), nullptr, nullptr), 0) << "a connection was made";
        EXPECT_EQ(progress.calls, 0u);
        EXPECT_TRUE(sim_.lines_of("upload ").empty());
        return;
    }
    const uint64_t received = c.received < 0 ? report.sent : static_cast<uint64_t>(c.received);
    EXPECT_EQ(sim_.wait_for("upload "),
              "upload device=127.0.0.2 size=" +
                  (c.image == Image::Missing ? "-" : std::to_string(c.size)) +
                  " received=" + std::to_string(received) +
                  " fnv1a=" + fnv1a(image.data(), received) + " status=" + c.upload);
    if (c.stage == STAGE_UPLOAD) {
        // A reset may leave the last of what the device read unacknowledged.
        EXPECT_GE(report.acked + (64 << 10), received);
        EXPECT_LT(report.acked, c.size);
    }
    if (c.image == Image::Shrinking) {
        EXPECT_LT(received, c.size);
    }
}

INSTANTIATE_TEST_SUITE_P(Images, InstallTest, testing::Range<size_t>(0, std::size(INSTALL_CASES)),
                         [](const testing::TestParamInfo<size_t> &info) {
                             return std::string(INSTALL_CASES[info.param].name);
                         });

} // namespace
