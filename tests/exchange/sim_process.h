// The simulated device program as a child process of a test, with its event
// log in a temporary directory.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <sys/types.h>
#include <vector>

class SimProcess
{
  public:
    SimProcess() = default;
    ~SimProcess();
    SimProcess(const SimProcess &) = delete;
    SimProcess &operator=(const SimProcess &) = delete;

    // Starts the program with devices, logging to log_path (prefix, e.g.
    // "ip netns exec NAME", goes before it), and waits until it is ready.
    testing::AssertionResult start(const std::string &log_path,
                                   const std::vector<std::string> &devices,
                                   const std::vector<std::string> &prefix = {});
    // Ends it with SIGTERM; success when it exited cleanly.
    testing::AssertionResult stop();
    bool running() const { return pid_ > 0; }

    std::vector<std::string> lines() const;
    // Log lines of one kind (their first word).
    std::vector<std::string> lines_of(const std::string &kind) const;
    // Waits for the first log line of a kind; empty when none came.
    std::string wait_for(const std::string &kind) const;

  private:
    std::string log_path_;
    pid_t pid_ = -1;
};

// The value of key=value in a log line, empty when absent.
std::string log_field(const std::string &line, const std::string &key);
