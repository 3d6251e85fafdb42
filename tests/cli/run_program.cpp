#include "run_program.h"

#include "discover.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <signal.h>
#include <spawn.h>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace
{

pid_t spawn(const std::vector<std::string> &argv, const std::string &out, const std::string &err)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::vector<char *> args;
    for (const std::string &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

std::string temp_path(const char *what)
{
    static int counter = 0;
    return std::string("/tmp/devscout-cli-test-") + std::to_string(getpid()) + "-" +
           std::to_string(counter++) + "." + what;
}

} // namespace

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

ProgramResult run_program(const std::vector<std::string> &argv)
{
    const std::string out = temp_path("out");
    const std::string err = temp_path("err");
    ProgramResult result;
    pid_t pid = spawn(argv, out, err);
    int wstatus = 0;
    if (pid > 0 && waitpid(pid, &wstatus, 0) == pid && WIFEXITED(wstatus))
        result.status = WEXITSTATUS(wstatus);
    result.out = read_file(out);
    result.err = read_file(err);
    unlink(out.c_str());
    unlink(err.c_str());
    return result;
}

SimDevices::SimDevices(const std::vector<std::string> &arguments) : log_(temp_path("log"))
{
    std::vector<std::string> argv = {SIMDEVICE_BINARY, "--i-am-in-a-namespace", "--log", log_};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    pid_ = spawn(argv, "/dev/null", temp_path("simerr"));
    for (int i = 0; i < 500 && pid_ > 0 && !ready_; ++i) {
        ready_ = read_file(log_).rfind("ready ", 0) == 0;
        if (!ready_)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

SimDevices::~SimDevices()
{
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
    unlink(log_.c_str());
}

std::string SimDevices::events()
{
    // A request with a session of our own goes in behind everything sent so
    // far; once the device logs it, the earlier datagrams are in the log too.
    // The marker's source port tells it apart from a command's request that
    // happened to draw the same session.
    const unsigned char marker[2] = {0xfe, 0xed};
    in_addr any{};
    int sock = set_discover_socket(&any);
    std::string port = "none";
    if (sock >= 0) {
        sockaddr_in local{};
        socklen_t length = sizeof(local);
        if (getsockname(sock, reinterpret_cast<sockaddr *>(&local), &length) == 0)
            port = std::to_string(ntohs(local.sin_port));
        send_discover(sock, marker);
        close(sock);
    }
    const std::string marker_port = ":" + port + " ";
    for (int i = 0; i < 500; ++i) {
        std::istringstream lines(read_file(log_));
        std::string events;
        for (std::string line; std::getline(lines, line);) {
            if (line.find("session=feed") != std::string::npos &&
                line.find(marker_port) != std::string::npos)
                return events;
            if (line.rfind("ready ", 0) != 0)
                events += line + "\n";
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return "the marker request never reached the log\n";
}

std::string SimDevices::log_when(const std::string &text)
{
    std::string log = read_file(log_);
    for (int i = 0; i < 500 && log.find(text) == std::string::npos; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        log = read_file(log_);
    }
    return log;
}
