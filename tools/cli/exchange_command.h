#pragma once

#include "command_line.h"

// Find the device named by the MAC on whichever interface it answers, run
// the exchange there and return the exit status.
int run_setup(const CliCommand &command);
int run_install(const CliCommand &command);
