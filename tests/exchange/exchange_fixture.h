// SPDX-License-Identifier: GPL-3.0-or-later
// Common ground of the exchange and command-line tests: a scratch directory,
// the simulated device logging into it, the exchanges and runs with their
// lines captured, and no descriptor left open at the end of a test.
#pragma once

#include "discover_run.h"
#include "ready_pipe.h"

#include <arpa/inet.h>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <sstream>
#include <sys/wait.h>

// The fixture's tear-down stops it; so must any test that starts one more.
class SimProcess
{
  public:
    // Starts it with devices (prefix, e.g. "ip netns exec NAME", goes before
    // it), logging to log_path, and waits until it is ready.
    testing::AssertionResult start(const std::string &log_path,
                                   const std::vector<std::string> &devices,
                                   const std::vector<std::string> &prefix = {})
    {
        log_path_ = log_path;
        ReadyPipe ready;
        std::vector<std::string> argv = prefix;
        argv.insert(argv.end(),
                    {SIM_BINARY, "--i-am-in-a-namespace", "--log", log_path, "--ready-fd",
                     std::to_string(ready.open() ? ready.out.get() : -1)});
        argv.insert(argv.end(), devices.begin(), devices.end());
        std::vector<char *> args;
        for (const std::string &arg : argv)
            args.push_back(const_cast<char *>(arg.c_str()));
        args.push_back(nullptr);
        if ((pid_ = fork()) == 0) {
            fcntl(ready.out.get(), F_SETFD, 0); // the simulator's end stays open in it
            execvp(args[0], args.data());
            _exit(127);
        }
        if (pid_ < 0 || !ready.wait())
            return testing::AssertionFailure() << "simulator not ready: " << stop().message();
        return testing::AssertionSuccess();
    }
    testing::AssertionResult stop() // success when it exited cleanly on SIGTERM
    {
        int status = 0;
        if (pid_ > 0 && kill(pid_, SIGTERM) == 0)
            waitpid(pid_, &status, 0);
        pid_ = -1;
        if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
            return testing::AssertionSuccess();
        return testing::AssertionFailure() << "simulator ended with status " << status;
    }
    bool running() const { return pid_ > 0; }

    std::vector<std::string> lines_of(const std::string &prefix) const // "" for all
    {
        std::vector<std::string> out;
        std::ifstream in(log_path_);
        for (std::string line; std::getline(in, line);)
            if (line.rfind(prefix, 0) == 0)
                out.push_back(line);
        return out;
    }
    // The count-th log line that starts with prefix, once it came; empty
    // when it did not within a bound generous for a loaded machine.
    std::string wait_for(const std::string &prefix, size_t count = 1) const
    {
        for (int i = 0; i < 1000; ++i, usleep(10000))
            if (std::vector<std::string> found = lines_of(prefix); found.size() >= count)
                return found[count - 1];
        return {};
    }

  private:
    std::string log_path_;
    pid_t pid_ = -1;
};

// What an exchange or a run returned, reported and printed; a run's devices
// by "address mac".
struct Outcome {
    int result = 0;
    ExchangeReport report{};
    std::map<std::string, DiscoveredDevice> devices;
    std::string out, err;
};

// How a program run to its end went.
struct ProgramResult {
    int status = -1; // exit status, or -1 when it did not exit normally
    std::string out, err;
};

// Table-driven cases take their row's index as parameter.
class ExchangeTest : public testing::TestWithParam<size_t>
{
  protected:
    void SetUp() override
    {
        descriptors_ = open_descriptors();
        char name[] = "/tmp/devscout-exchange-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        dir_ = name;
    }
    void TearDown() override
    {
        if (sim_.running()) {
            EXPECT_TRUE(sim_.stop());
        }
        std::filesystem::remove_all(dir_);
        EXPECT_EQ(open_descriptors(), descriptors_) << "descriptors leaked";
    }

    std::string path(const std::string &name) const { return dir_ + "/" + name; }
    // Stops the one running first.
    testing::AssertionResult start_sim(const std::vector<std::string> &devices)
    {
        if (testing::AssertionResult stopped = sim_.stop(); !stopped)
            return stopped;
        return sim_.start(path("sim.log"), devices);
    }
    std::string write_file(const std::string &name, const std::string &contents) const
    {
        std::ofstream(path(name), std::ios::binary) << contents;
        return path(name);
    }
    std::string read_file(const std::string &name) const
    {
        std::ostringstream text;
        text << std::ifstream(path(name)).rdbuf();
        return text.str();
    }

    // Starts argv reading nothing, its stdout to the scratch file out and
    // its stderr to out.err. No word holds a single quote.
    pid_t spawn(const std::vector<std::string> &argv, const std::string &out) const
    {
        std::string line = "exec";
        for (const std::string &word : argv)
            line += " '" + word + "'";
        line += " </dev/null >'" + path(out) + "' 2>'" + path(out + ".err") + "'";
        const pid_t pid = fork();
        if (pid == 0) {
            execl("/bin/sh", "sh", "-c", line.c_str(), nullptr);
            _exit(127);
        }
        return pid;
    }
    ProgramResult run_program(const std::vector<std::string> &argv) const
    {
        const pid_t pid = spawn(argv, "out");
        int status = 0;
        if (pid < 0 || waitpid(pid, &status, 0) != pid)
            return {};
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, read_file("out"),
                read_file("out.err")};
    }

    // The exchanges from the wildcard address, and a run, which fails the
    // test when it reports a device twice.
    Outcome setup(const char *mac, const ExchangeOptions *options = nullptr,
                  const char *ip = "127.0.0.50", const char *netmask = "255.0.0.0", int dhcp = 0)
    {
        const ether_addr target = *ether_aton(mac);
        const in_addr any{}, address{inet_addr(ip)}, mask{inet_addr(netmask)};
        return captured([&](Outcome *o) {
            return do_setup_report(&any, &target, &address, &mask, dhcp, options, &o->report);
        });
    }
    Outcome install(const char *mac, const std::string &image, const ExchangeOptions *options)
    {
        const ether_addr target = *ether_aton(mac);
        const in_addr any{};
        return captured([&](Outcome *o) {
            return do_install_report(&any, &target, image.c_str(), options, &o->report);
        });
    }
    Outcome run(const std::vector<DiscoverInterface> &interfaces, int max_ms = DEFAULT_MAX_RUN_MS)
    {
        struct Recorder : DiscoverSink {
            std::map<std::string, DiscoveredDevice> *devices;
            void found(const DiscoveredDevice &device) override
            {
                const std::string key = std::string(inet_ntoa(device.entry.ipaddr)) + " " +
                                        ether_ntoa(&device.entry.mac);
                EXPECT_TRUE(devices->emplace(key, device).second) << "found twice: " << key;
            }
        };
        return captured([&](Outcome *o) {
            Recorder sink;
            sink.devices = &o->devices;
            return discover_run(interfaces.data(), static_cast<int>(interfaces.size()), &sink,
                                max_ms);
        });
    }

    std::string dir_;
    SimProcess sim_;

  private:
    static int open_descriptors()
    {
        const std::filesystem::directory_iterator fds("/proc/self/fd");
        return static_cast<int>(std::distance(begin(fds), end(fds)));
    }
    template <typename Call> static Outcome captured(Call call)
    {
        Outcome outcome;
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        outcome.result = call(&outcome);
        outcome.err = testing::internal::GetCapturedStderr();
        outcome.out = testing::internal::GetCapturedStdout();
        return outcome;
    }

    int descriptors_ = 0;
};

// The value of key=value in a log line, empty when absent.
inline std::string log_field(const std::string &line, const std::string &key)
{
    const size_t at = line.find(" " + key + "=");
    const size_t start = at + key.size() + 2;
    return at == std::string::npos ? "" : line.substr(start, line.find(' ', start) - start);
}

// Pseudo-random image bytes, and the checksum the device logs for an upload
// of the first length of them.
inline std::string image_bytes(size_t size)
{
    std::string image(size, '\0');
    for (size_t i = 0; i < size; ++i)
        image[i] = static_cast<char>((i * 2654435761u) >> 13);
    return image;
}
inline std::string fnv1a(const std::string &data, size_t length)
{
    uint32_t hash = 0x811c9dc5u;
    for (size_t i = 0; i < length; ++i)
        hash = (hash ^ static_cast<unsigned char>(data[i])) * 16777619u;
    char text[9];
    std::snprintf(text, sizeof text, "%08x", hash);
    return text;
}

inline std::string dotted(in_addr address)
{
    return inet_ntoa(address);
}
