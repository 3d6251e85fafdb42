// SPDX-License-Identifier: GPL-3.0-or-later
// devscout-cli run as a program, with its output and the devices' log.
#pragma once

#include "exchange_fixture.h"
#include "fd_guard.h"

#include <chrono>
#include <fstream>
#include <sstream>
#include <sys/wait.h>

class CliTest : public ExchangeTest
{
  protected:
    // "install MAC @1000" runs the command with the scratch file 1000 in
    // place of @1000; seconds is how long it took.
    ProgramResult cli(const std::string &command, double *seconds)
    {
        std::string line = CLI_BINARY;
        std::istringstream words(command);
        for (std::string word; words >> word;)
            line += " '" + (word[0] == '@' ? path(word.substr(1)) : word) + "'";
        const auto started = std::chrono::steady_clock::now();
        const int status =
            std::system((line + " </dev/null >" + path("out") + " 2>" + path("err")).c_str());
        *seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        auto read = [this](const char *name) {
            std::ostringstream text;
            text << std::ifstream(path(name)).rdbuf();
            return text.str();
        };
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, read("out"), read("err")};
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
