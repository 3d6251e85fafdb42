#include "exchange_fixture.h"
#include "ready_pipe.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <spawn.h>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

// Starts argv with stdin from /dev/null; with a non-empty dir, stdout and
// stderr go to files there; inherit (if not -1) stays open in it. -1 when it
// cannot be started.
static pid_t spawn(const std::vector<std::string> &argv, const std::string &dir, int inherit = -1)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (inherit >= 0) // a dup2 onto itself clears close-on-exec
        posix_spawn_file_actions_adddup2(&actions, inherit, inherit);
    for (auto [fd, name] : {std::pair{STDOUT_FILENO, "/stdout"}, {STDERR_FILENO, "/stderr"}})
        if (!dir.empty())
            posix_spawn_file_actions_addopen(&actions, fd, (dir + name).c_str(),
                                             O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::vector<char *> args;
    for (const std::string &arg : argv)
        args.push_back(const_cast<char *>(arg.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

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
    pid_ = spawn(argv, "", ready.out.get());
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

std::string SimProcess::wait_for(const std::string &prefix) const
{
    // Generous bound for a loaded machine; reaching it fails the test, it
    // measures nothing.
    for (int i = 0; i < 1000; ++i) {
        std::vector<std::string> found = lines_of(prefix);
        if (!found.empty())
            return found.front();
        usleep(10000);
    }
    return {};
}

static int open_descriptors()
{
    int count = 0;
    for ([[maybe_unused]] const auto &entry : std::filesystem::directory_iterator("/proc/self/fd"))
        ++count;
    return count;
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

ProgramResult ExchangeTest::run_program(const std::vector<std::string> &argv) const
{
    auto read = [this](const char *name) {
        std::ostringstream text;
        text << std::ifstream(path(name)).rdbuf();
        return text.str();
    };
    int wstatus = 0;
    pid_t pid = spawn(argv, dir_);
    const bool exited = pid > 0 && waitpid(pid, &wstatus, 0) == pid && WIFEXITED(wstatus);
    return {exited ? WEXITSTATUS(wstatus) : -1, read("stdout"), read("stderr")};
}

std::string log_field(const std::string &line, const std::string &key)
{
    std::string needle = " " + key + "=";
    size_t at = line.find(needle);
    if (at == std::string::npos)
        return {};
    at += needle.size();
    return line.substr(at, line.find(' ', at) - at);
}

std::string image_bytes(size_t size)
{
    std::string image(size, '\0');
    for (size_t i = 0; i < size; ++i)
        image[i] = static_cast<char>((i * 2654435761u) >> 13);
    return image;
}

std::string fnv1a(const void *data, size_t length)
{
    uint32_t hash = 0x811c9dc5u;
    for (size_t i = 0; i < length; ++i)
        hash = (hash ^ static_cast<const unsigned char *>(data)[i]) * 16777619u;
    char text[9];
    std::snprintf(text, sizeof text, "%08x", hash);
    return text;
}
