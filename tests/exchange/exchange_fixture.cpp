#include "exchange_fixture.h"
#include "ready_pipe.h"

#include <cerrno>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <spawn.h>
#include <sys/wait.h>

using namespace testing::internal;

testing::AssertionResult SimProcess::start(const std::string &log_path,
                                           const std::vector<std::string> &devices,
                                           const std::vector<std::string> &prefix)
{
    log_path_ = log_path;
    ReadyPipe ready;
    if (!ready.open())
        return testing::AssertionFailure() << "pipe: " << std::strerror(errno);
    std::vector<std::string> argv = prefix;
    argv.insert(argv.end(), {SIM_BINARY, "--i-am-in-a-namespace", "--log", log_path, "--ready-fd",
                             std::to_string(ready.out.get())});
    argv.insert(argv.end(), devices.begin(), devices.end());
    std::vector<char *> args;
    for (const std::string &arg : argv)
        args.push_back(const_cast<char *>(arg.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    // A dup2 onto itself clears close-on-exec.
    posix_spawn_file_actions_adddup2(&actions, ready.out.get(), ready.out.get());
    if (posix_spawnp(&pid_, args[0], &actions, nullptr, args.data(), environ) != 0)
        pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    if (pid_ < 0)
        return testing::AssertionFailure() << "simulator could not be started";
    if (!ready.wait())
        return testing::AssertionFailure() << "simulator not ready: " << stop().message();
    return testing::AssertionSuccess();
}

testing::AssertionResult SimProcess::stop()
{
    int status = 0;
    kill(pid_, SIGTERM);
    waitpid(pid_, &status, 0);
    pid_ = -1;
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
        return testing::AssertionSuccess();
    return testing::AssertionFailure() << "simulator ended with status " << status;
}

std::vector<std::string> SimProcess::lines_of(const std::string &prefix) const
{
    std::vector<std::string> out;
    std::ifstream in(log_path_);
    for (std::string line; std::getline(in, line);)
        if (line.rfind(prefix, 0) == 0)
            out.push_back(line);
    return out;
}

std::string SimProcess::wait_for(const std::string &prefix, size_t count) const
{
    // A generous bound for a loaded machine: reaching it fails the test, it
    // measures nothing.
    for (int i = 0; i < 1000; ++i, usleep(10000))
        if (std::vector<std::string> found = lines_of(prefix); found.size() >= count)
            return found[count - 1];
    return {};
}

static int open_descriptors()
{
    const std::filesystem::directory_iterator fds("/proc/self/fd");
    return static_cast<int>(std::distance(begin(fds), end(fds)));
}

void ExchangeTest::SetUp()
{
    descriptors_ = open_descriptors();
    char name[] = "/tmp/devscout-exchange-XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    dir_ = name;
}

void ExchangeTest::TearDown()
{
    if (sim_.running()) {
        EXPECT_TRUE(sim_.stop());
    }
    std::filesystem::remove_all(dir_);
    EXPECT_EQ(open_descriptors(), descriptors_) << "descriptors leaked";
}

std::string ExchangeTest::write_file(const std::string &name, const std::string &contents) const
{
    std::ofstream(path(name), std::ios::binary) << contents;
    return path(name);
}

// Runs call with both streams captured.
template <typename Call> static Outcome captured(Call call)
{
    Outcome outcome;
    CaptureStdout();
    CaptureStderr();
    outcome.result = call(&outcome);
    outcome.err = GetCapturedStderr();
    outcome.out = GetCapturedStdout();
    return outcome;
}

static const in_addr ANY{};

Outcome ExchangeTest::setup(const char *mac, const ExchangeOptions *options, const char *ip,
                            const char *netmask, int dhcp)
{
    const ether_addr target = *ether_aton(mac);
    const in_addr address{inet_addr(ip)}, mask{inet_addr(netmask)};
    return captured([&](Outcome *o) {
        return do_setup_report(&ANY, &target, &address, &mask, dhcp, options, &o->report);
    });
}

Outcome ExchangeTest::install(const char *mac, const std::string &image,
                              const ExchangeOptions *options)
{
    const ether_addr target = *ether_aton(mac);
    return captured([&](Outcome *o) {
        return do_install_report(&ANY, &target, image.c_str(), options, &o->report);
    });
}

namespace
{
struct RecordingSink : DiscoverSink {
    std::map<std::string, Found> *devices;
    explicit RecordingSink(std::map<std::string, Found> *to) : devices(to) {}
    void found(const DiscoveredDevice &device) override
    {
        const std::string key =
            std::string(inet_ntoa(device.entry.ipaddr)) + " " + ether_ntoa(&device.entry.mac);
        EXPECT_EQ(devices->count(key), 0u) << "found twice: " << key;
        (*devices)[key] = {device.entry, device.where.name, inet_ntoa(device.source)};
    }
};
} // namespace

Outcome ExchangeTest::run(const std::vector<DiscoverInterface> &interfaces, int max_run_ms)
{
    return captured([&](Outcome *o) {
        RecordingSink sink(&o->devices);
        return discover_run(interfaces.data(), static_cast<int>(interfaces.size()), &sink,
                            max_run_ms);
    });
}

std::string log_field(const std::string &line, const std::string &key)
{
    const size_t at = line.find(" " + key + "=");
    if (at == std::string::npos)
        return {};
    const size_t start = at + key.size() + 2;
    return line.substr(start, line.find(' ', start) - start);
}

std::string image_bytes(size_t size)
{
    std::string image(size, '\0');
    for (size_t i = 0; i < size; ++i)
        image[i] = static_cast<char>((i * 2654435761u) >> 13);
    return image;
}

std::string fnv1a(const std::string &data, size_t length)
{
    uint32_t hash = 0x811c9dc5u;
    for (size_t i = 0; i < length; ++i)
        hash = (hash ^ static_cast<unsigned char>(data[i])) * 16777619u;
    char text[9];
    std::snprintf(text, sizeof text, "%08x", hash);
    return text;
}
