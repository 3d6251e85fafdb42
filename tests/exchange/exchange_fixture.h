// Common ground of the exchange and command-line tests: a scratch directory,
// the simulated device program logging into it, programs run to their end,
// and no descriptor left open at the end of a test.
#pragma once

#include "discover.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <string>
#include <sys/types.h>
#include <vector>

// The fixture's tear-down stops it; so must any test that starts one more.
class SimProcess
{
  public:
    // Starts the program with devices, logging to log_path (prefix, e.g.
    // "ip netns exec NAME", goes before it), and waits until it is ready.
    testing::AssertionResult start(const std::string &log_path,
                                   const std::vector<std::string> &devices,
                                   const std::vector<std::string> &prefix = {});
    // Ends it with SIGTERM; success when it exited cleanly.
    testing::AssertionResult stop();
    bool running() const { return pid_ > 0; }

    // Log lines that start with prefix ("" for all).
    std::vector<std::string> lines_of(const std::string &prefix) const;
    // Waits for the first log line that starts with prefix; empty when none came.
    std::string wait_for(const std::string &prefix) const;

  private:
    std::string log_path_;
    pid_t pid_ = -1;
};

struct ProgramResult {
    int status = -1; // exit status, or -1 when it did not exit normally
    std::string out;
    std::string err;
};

// Table-driven cases take their row's index as parameter.
class ExchangeTest : public testing::TestWithParam<size_t>
{
  protected:
    void SetUp() override;
    void TearDown() override;

    std::string path(const std::string &name) const { return dir_ + "/" + name; }
    testing::AssertionResult start_sim(const std::vector<std::string> &devices)
    {
        return sim_.start(path("sim.log"), devices);
    }
    // Writes a scratch file; returns its path.
    std::string write_file(const std::string &name, const std::string &contents) const;
    // argv[0] is the program (searched on PATH).
    ProgramResult run_program(const std::vector<std::string> &argv) const;

    std::string dir_;
    SimProcess sim_;

  private:
    int descriptors_ = 0;
};

// The value of key=value in a log line, empty when absent.
std::string log_field(const std::string &line, const std::string &key);
// Pseudo-random image bytes.
std::string image_bytes(size_t size);
// The checksum the device logs for an upload: FNV-1a, 8 hex digits.
std::string fnv1a(const void *data, size_t length);
