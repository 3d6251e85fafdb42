// SPDX-License-Identifier: GPL-3.0-or-later
// discover --watch: a discovery run every few seconds until SIGINT or
// SIGTERM, and a line of JSON for each device that appears, changes or is
// gone.
#pragma once

#include "command_line.h"

// Returns the exit status: 0 when a signal ended it.
int run_watch(const CliCommand &command);
