// SPDX-License-Identifier: GPL-3.0-or-later
// devscout-cli run as a program, with its output and the devices' log.
#pragma once

#include "exchange_fixture.h"
#include "fd_guard.h"

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <spawn.h>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

class CliTest : public ExchangeTest
{
  protected:
    // "install MAC @1000" as the program's argv, with the scratch file 1000
    // in place of @1000.
    std::vector<std::string> argv_of(const std::string &command) const
    {
        std::vector<std::string> argv = {CLI_BINARY};
        std::istringstream words(command);
        for (std::string word; words >> word;)
            argv.push_back(word[0] == '@' ? path(word.substr(1)) : word);
        return argv;
    }

    // Starts argv with its stdout and stderr to the scratch files out and err.
    pid_t start(const std::vector<std::string> &argv, const std::string &out = "out",
                const std::string &err = "err") const
    {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, path(out).c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, path(err).c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0600);
        std::vector<char *> args;
        for (const std::string &arg : argv)
            args.push_back(const_cast<char *>(arg.c_str()));
        args.push_back(nullptr);
        pid_t pid = -1;
        if (posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ) != 0)
            pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        return pid;
    }

    // The program started with out and err, once it has ended.
    ProgramResult finish(pid_t pid) const
    {
        int status = 0;
        if (pid < 0 || waitpid(pid, &status, 0) != pid)
            return {};
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, read_file("out"), read_file("err")};
    }

    ProgramResult run_program(const std::vector<std::string> &argv) const
    {
        return finish(start(argv));
    }

    // The command as argv_of() reads it; seconds is how long it took.
    ProgramResult cli(const std::string &command, double *seconds)
    {
        const auto started = std::chrono::steady_clock::now();
        const ProgramResult result = run_program(argv_of(command));
        *seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        return result;
    }

    // The exit status of a program told to end by signal, or -1 when it has
    // not exited normally within seconds.
    static int end_with(pid_t pid, int signal, int seconds)
    {
        kill(pid, signal);
        int status = 0;
        for (int i = 0; i < seconds * 100; ++i, usleep(10000))
            if (waitpid(pid, &status, WNOHANG) == pid)
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        return -1;
    }

    std::string read_file(const std::string &name) const
    {
        std::ostringstream text;
        text << std::ifstream(path(name)).rdbuf();
        return text.str();
    }

    // The device's log lines up to a request of our own, sent now: the
    // device handles datagrams in order, so these are all it got before.
    std::string requests_so_far()
    {
        const unsigned char marker[2] = {0xfe, 0xed};
        const in_addr any{};
        FdGuard sock(set_discover_socket(&any));
        if (send_discover(sock.get(), marker) < 0 || sim_.wait_for("discover session=feed").empty())
            return "the marker request never reached the log";
        std::string lines;
        for (const std::string &line : sim_.lines_of("")) {
            if (line.rfind("discover session=feed ", 0) == 0)
                break;
            lines += line.rfind("ready ", 0) == 0 ? "" : line + "\n";
        }
        return lines;
    }
};
