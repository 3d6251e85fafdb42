// SPDX-License-Identifier: GPL-3.0-or-later
// devscout-cli on many devices at once: one locating discovery for all of
// them, then the work, then a line (or a JSON object) per device.
#pragma once

#include "command_line.h"

// install MAC... IMAGE [--parallel N] [--verify SECONDS] [--json]
int run_fleet_install(const CliCommand &command);
// setup --plan FILE, setup MAC... --from FIRST_IP NETMASK; [--dry-run] [--json]
int run_fleet_setup(const CliCommand &command);

// The firmware text of a reply as the table shows it.
std::string firmware_text(const DiscoverEntry &entry);
// Prints the records as a JSON array, or their lines; false when stdout
// failed.
bool print_fleet_output(const CliCommand &command, const std::vector<Record> &records,
                        const std::vector<std::string> &lines);
