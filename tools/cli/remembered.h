// SPDX-License-Identifier: GPL-3.0-or-later
// devscout-cli's side of the inventory: opening it, recording a discovery
// run, and the inventory and note commands.
#pragma once

#include "command_line.h"
#include "inventory.h"

#include <memory>

// The command's inventory: --database, the default file, or with
// --no-inventory one in memory that ends with the program. Null when it
// cannot be opened, which it has said on stderr.
std::unique_ptr<Inventory> open_inventory(const CliCommand &command);

// Records the rows as one run at the time at and fills in what the inventory
// made of each row; run, if not null, gets the whole record. False after a
// line on stderr when the run could not be recorded.
bool remember_run(Inventory *inventory, const QDateTime &at, std::vector<DeviceRow> *rows,
                  RecordedRun *run);

// The inventory command: the remembered devices, the absent ones only with
// --absent.
int list_inventory(const CliCommand &command);
// The note command.
int set_note(const CliCommand &command);
