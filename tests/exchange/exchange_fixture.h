// Common ground of the exchange and command-line tests: a scratch directory,
// the simulated device logging into it, the exchanges and runs with their
// lines captured, and no descriptor left open at the end of a test.
#pragma once

#include "discover_run.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <map>
#include <string>
#include <vector>

// The fixture's tear-down stops it; so must any test that starts one more.
class SimProcess
{
  public:
    // Starts it with devices (prefix, e.g. "ip netns exec NAME", goes before
    // it), logging to log_path, and waits until it is ready.
    testing::AssertionResult start(const std::string &log_path,
                                   const std::vector<std::string> &devices,
                                   const std::vector<std::string> &prefix = {});
    testing::AssertionResult stop(); // SIGTERM; success when it exited cleanly
    bool running() const { return pid_ > 0; }
    std::vector<std::string> lines_of(const std::string &prefix) const; // "" for all
    // Waits for the count-th log line that starts with prefix; empty when none came.
    std::string wait_for(const std::string &prefix, size_t count = 1) const;

  private:
    std::string log_path_;
    pid_t pid_ = -1;
};

// What an exchange or a run returned, reported and printed; a run's devices
// by "address mac", with the interface that heard each and its reply's source.
struct Found {
    DiscoverEntry entry;
    std::string interface, source;
};
struct Outcome {
    int result = 0;
    ExchangeReport report{};
    std::map<std::string, Found> devices;
    std::string out, err;
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

    // The exchanges from the wildcard address, and a run, which fails the
    // test when it reports a device twice.
    Outcome setup(const char *mac, const ExchangeOptions *options = nullptr,
                  const char *ip = "127.0.0.50", const char *netmask = "255.0.0.0", int dhcp = 0);
    Outcome install(const char *mac, const std::string &image,
                    const ExchangeOptions *options = nullptr);
    Outcome run(const std::vector<DiscoverInterface> &interfaces,
                int max_run_ms = DEFAULT_MAX_RUN_MS);

    std::string dir_;
    SimProcess sim_;

  private:
    int descriptors_ = 0;
};

// The value of key=value in a log line, empty when absent.
std::string log_field(const std::string &line, const std::string &key);
// Pseudo-random image bytes.
std::string image_bytes(size_t size);
// The checksum the device logs for an upload: FNV-1a of the first length
// bytes, 8 hex digits.
std::string fnv1a(const std::string &data, size_t length);
