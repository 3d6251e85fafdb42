// The install exchange against a simulated device: the bytes that arrive
// (size and checksum from the device's log), the report and the progress
// calls, and every way the upload can end early.
#include "exchange_fixture.h"

#include <arpa/inet.h>
#include <csignal>
#include <fstream>
#include <random>
#include <sys/socket.h>
#include <unistd.h>

namespace
{

enum class Image { Present, Missing, Shrinking };

struct InstallCase {
    const char *name;
    const char *device_keys; // added to the device's description
    Image image;
    uint64_t size;
    int ret;
    const char *word;
    const char *error; // start of the exchange's failure line, "" for none
    int stage;
    const char *upload; // the device's upload status, null when none may arrive
    int64_t received;   // image bytes the device got; -1: as many as were sent
};

constexpr uint64_t MIB = 1024 * 1024;

const InstallCase CASES[] = {
    {"Empty", "", Image::Present, 0, 0, "socket open", "", STAGE_DONE, "complete", 0},
    {"OnePiece", "", Image::Present, 2048, 0, "socket open", "", STAGE_DONE, "complete", 2048},
    {"TwoPieces", "", Image::Present, 2049, 0, "socket open", "", STAGE_DONE, "complete", 2049},
    {"FiveMiB", "", Image::Present, 5 * MIB, 0, "socket open", "", STAGE_DONE, "complete", 5 * MIB},
    {"Refused", ",install=1", Image::Present, 100, -1, "install forbidden", "", STAGE_REFUSED,
     nullptr, 0},
    {"MissingImage", "", Image::Missing, 0, -1, "socket open",
     "do_install: unable to stat image file '@': No such file or directory\n", STAGE_IMAGE, "short",
     0},
    {"ShrinkingImage", "", Image::Shrinking, MIB, -1, "socket open",
     "do_install: fread(@) failed: ", STAGE_IMAGE, "short", -1},
    {"DeviceCloses", ",close-after=1000", Image::Present, 5 * MIB, -1, "socket open",
     "do_install: unable to send data: send(): ", STAGE_UPLOAD, "closed", 1000},
};

void PrintTo(const InstallCase &c, std::ostream *os)
{
    *os << c.name;
}

uint32_t fnv1a(const std::vector<unsigned char> &data, size_t length)
{
    uint32_t h = 0x811c9dc5u;
    for (size_t i = 0; i < length; ++i)
        h = (h ^ data[i]) * 16777619u;
    return h;
}

struct Progress {
    std::vector<std::pair<uint64_t, uint64_t>> calls; // (sent, total)
    const char *shrink_path = nullptr;                // truncated at the first call
};

void record_progress(void *context, uint64_t sent, uint64_t total)
{
    auto *progress = static_cast<Progress *>(context);
    if (progress->calls.empty() && progress->shrink_path != nullptr) {
        EXPECT_EQ(truncate(progress->shrink_path, 0), 0);
    }
    progress->calls.emplace_back(sent, total);
}

class InstallTest : public ExchangeTest, public testing::WithParamInterface<InstallCase>
{
  protected:
    void SetUp() override
    {
        ExchangeTest::SetUp();
        // A write to a closed connection must not kill the process, even
        // when nothing else ignores the signal.
        std::signal(SIGPIPE, SIG_DFL);
    }
};

// Listens where the device's install socket would be, so a connection that
// should not be made would show.
int occupy_install_port(const char *address)
{
    int sock = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(INSTALL_PORT);
    local.sin_addr = ipv4(address);
    EXPECT_EQ(bind(sock, reinterpret_cast<sockaddr *>(&local), sizeof local), 0);
    EXPECT_EQ(listen(sock, 1), 0);
    return sock;
}

TEST_P(InstallTest, SendsTheImageOrFailsWithItsLine)
{
    const InstallCase &c = GetParam();
    // The device reports another address than its own: the upload must go
    // to the address the reply came from.
    ASSERT_TRUE(start_sim({std::string("addr=127.0.0.2,ip=127.0.0.77") + c.device_keys}));

    const std::string image_path = path("image.bin");
    std::vector<unsigned char> image(c.size);
    std::mt19937 random(static_cast<unsigned>(c.size));
    for (unsigned char &byte : image)
        byte = static_cast<unsigned char>(random());
    if (c.image != Image::Missing)
        std::ofstream(image_path, std::ios::binary)
            .write(reinterpret_cast<const char *>(image.data()),
                   static_cast<std::streamsize>(image.size()));
    int guard = c.upload == nullptr ? occupy_install_port("127.0.0.2") : -1;

    const ether_addr target = mac("02:00:7f:00:00:02");
    const in_addr any{};
    Progress progress;
    if (c.image == Image::Shrinking)
        progress.shrink_path = image_path.c_str();
    ExchangeReport report{};
    report.progress = record_progress;
    report.context = &progress;

    const int fds_before = open_descriptors();
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(do_install_report(&any, &target, image_path.c_str(), &report), c.ret);
    std::string errors = testing::internal::GetCapturedStderr();
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              std::string("got reply from 127.0.0.2: ") + c.word + "\n");
    EXPECT_EQ(open_descriptors(), fds_before);

    std::string error = c.error;
    if (size_t at = error.find('@'); at != std::string::npos)
        error.replace(at, 1, image_path);
    if (error.empty()) {
        EXPECT_EQ(errors.find("do_install:"), std::string::npos) << errors;
    } else {
        EXPECT_NE(errors.find(error), std::string::npos) << errors;
    }

    EXPECT_EQ(report.stage, c.stage);
    EXPECT_EQ(report.result, c.upload == nullptr ? RESULT_FORBIDDEN : RESULT_SUCCESS);
    EXPECT_EQ(ipv4_text(report.device), "127.0.0.2");
    // Progress comes after every piece of at most 2048 bytes, in order.
    uint64_t previous = 0;
    for (const auto &[sent, total] : progress.calls) {
        EXPECT_EQ(total, c.size);
        EXPECT_GT(sent, previous);
        EXPECT_LE(sent - previous, uint64_t{INSTALL_CHUNK});
        previous = sent;
    }
    EXPECT_EQ(report.sent, previous);
    if (c.ret == 0) {
        EXPECT_EQ(report.image_size, c.size);
        EXPECT_EQ(report.sent, c.size);
        EXPECT_EQ(progress.calls.size(), (c.size + INSTALL_CHUNK - 1) / INSTALL_CHUNK);
    }

    if (c.upload == nullptr) {
        EXPECT_LT(accept(guard, nullptr, nullptr), 0) << "a connection was made";
        close(guard);
        EXPECT_TRUE(progress.calls.empty());
        EXPECT_TRUE(sim_.lines_of("upload").empty());
        return;
    }
    const std::string upload = sim_.wait_for("upload");
    ASSERT_FALSE(upload.empty()) << "the device logged no upload";
    const uint64_t received = c.received < 0 ? report.sent : static_cast<uint64_t>(c.received);
    char checksum[9];
    std::snprintf(checksum, sizeof checksum, "%08x", fnv1a(image, received));
    EXPECT_EQ(log_field(upload, "device"), "127.0.0.2") << upload;
    EXPECT_EQ(log_field(upload, "size"), c.image == Image::Missing ? "-" : std::to_string(c.size))
        << upload;
    EXPECT_EQ(log_field(upload, "received"), std::to_string(received)) << upload;
    EXPECT_EQ(log_field(upload, "fnv1a"), checksum) << upload;
    EXPECT_EQ(log_field(upload, "status"), c.upload) << upload;
    if (c.image == Image::Shrinking) {
        EXPECT_LT(received, c.size);
    }
}

INSTANTIATE_TEST_SUITE_P(Images, InstallTest, testing::ValuesIn(CASES),
                         [](const testing::TestParamInfo<InstallCase> &info) {
                             return std::string(info.param.name);
                         });

} // namespace
