#pragma once

#include "command_line.h"

// Find the one device that answers with the MAC (the one at --address among
// several), run the exchange with it alone, from the interface that heard
// it, and return the exit status.
int run_setup(const CliCommand &command);
int run_install(const CliCommand &command);
