// Runs a program to its end with its output captured, and starts the
// simulated device program for a test.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

struct ProgramResult {
    int status = -1; // exit status, or -1 when it did not exit normally
    std::string out;
    std::string err;
};

ProgramResult run_program(const std::vector<std::string> &argv);

std::string read_file(const std::string &path);

// A devscout-simdevice process serving the given device specs, killed and
// reaped when the object goes.
class SimDevices
{
  public:
    explicit SimDevices(const std::vector<std::string> &arguments);
    ~SimDevices();
    SimDevices(const SimDevices &) = delete;
    SimDevices &operator=(const SimDevices &) = delete;

    bool ready() const { return ready_; }
    // The event lines after "ready", once the device has dealt with every
    // datagram sent before this call.
    std::string events();
    // The whole log once it holds text (uploads are logged when the
    // device's side of the connection is done, later than the sender's).
    std::string log_when(const std::string &text);

  private:
    std::string log_;
    pid_t pid_ = -1;
    bool ready_ = false;
};
