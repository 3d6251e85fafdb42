// SPDX-License-Identifier: GPL-3.0-or-later
// devscout-cli's commands: one discovery run on the chosen interfaces, then
// the list of devices, or one exchange with the device named by its MAC; or
// what the inventory remembers.
#pragma once

#include "command_line.h"
#include "discover_run.h"

// The devices of a run as rows, in the order they answered, with vendors.
class RowCollector : public DiscoverSink
{
  public:
    void found(const DiscoveredDevice &device) override;

    std::vector<DeviceRow> rows;
};

// One whole discovery run on the command's interfaces: STATUS_OK, or how the
// program ends after a line that says why it could not run. The line that no
// interface can broadcast is said only while *fallbackSaid, when given, is
// false, which it then becomes.
int run_discovery(const CliCommand &command, DiscoverSink *sink, bool *fallbackSaid = nullptr);

// Runs the command and returns the exit status.
int run_command(const CliCommand &command);
