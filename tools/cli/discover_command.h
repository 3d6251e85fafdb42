#pragma once

#include "command_line.h"

// Runs one discovery and prints the devices; returns the exit status.
int run_discover(const CliCommand &command);
