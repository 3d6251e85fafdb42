#include "sim_process.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fstream>
#include <sys/wait.h>
#include <unistd.h>

// Generous bound for a child to get going on a loaded machine; reaching it
// fails the test, it measures nothing.
constexpr int WAIT_STEPS = 1000;
constexpr useconds_t WAIT_STEP_US = 10000;

SimProcess::~SimProcess()
{
    if (pid_ > 0)
        stop();
}

testing::AssertionResult SimProcess::start(const std::string &log_path,
                                           const std::vector<std::string> &devices,
                                           const std::vector<std::string> &prefix)
{
    log_path_ = log_path;
    std::vector<std::string> args = prefix;
    for (const char *arg : {SIM_BINARY, "--i-am-in-a-namespace", "--log", log_path_.c_str()})
        args.emplace_back(arg);
    args.insert(args.end(), devices.begin(), devices.end());
    std::vector<char *> argv;
    for (std::string &arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);

    pid_ = fork();
    if (pid_ < 0)
        return testing::AssertionFailure() << "fork: " << std::strerror(errno);
    if (pid_ == 0) {
        execvp(argv[0], argv.data());
        _exit(127);
    }
    for (int i = 0; i < WAIT_STEPS; ++i) {
        if (!lines_of("ready").empty())
            return testing::AssertionSuccess();
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return testing::AssertionFailure()
                   << "simulator exited before ready, status " << status;
        }
        usleep(WAIT_STEP_US);
    }
    return testing::AssertionFailure() << "simulator never became ready";
}

testing::AssertionResult SimProcess::stop()
{
    if (pid_ <= 0)
        return testing::AssertionFailure() << "simulator not running";
    int status = 0;
    kill(pid_, SIGTERM);
    waitpid(pid_, &status, 0);
    pid_ = -1;
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
        return testing::AssertionSuccess();
    return testing::AssertionFailure() << "simulator ended with status " << status;
}

std::vector<std::string> SimProcess::lines() const
{
    std::vector<std::string> out;
    std::ifstream in(log_path_);
    for (std::string line; std::getline(in, line);)
        out.push_back(line);
    return out;
}

std::vector<std::string> SimProcess::lines_of(const std::string &kind) const
{
    std::vector<std::string> out;
    for (const std::string &line : lines())
        if (line.compare(0, kind.size() + 1, kind + " ") == 0)
            out.push_back(line);
    return out;
}

std::string SimProcess::wait_for(const std::string &kind) const
{
    for (int i = 0; i < WAIT_STEPS; ++i) {
        std::vector<std::string> found = lines_of(kind);
        if (!found.empty())
            return found.front();
        usleep(WAIT_STEP_US);
    }
    return {};
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
