// SPDX-License-Identifier: GPL-3.0-or-later
// devscout-cli's commands: one discovery run on the chosen interfaces, then
// the list of devices, or one exchange with the device named by its MAC.
#pragma once

#include "command_line.h"

// Runs the command and returns the exit status.
int run_command(const CliCommand &command);
