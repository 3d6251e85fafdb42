// SPDX-License-Identifier: GPL-3.0-or-later
// A discovery run that also finds the remembered devices beyond the local
// segment: those it did not hear are asked again at their last addresses.
// The window and the command line both run it.
#pragma once

#include "discover_run.h"
#include "inventory.h"

// discover_run_with, then, with an inventory and unless stopped, a second run
// that asks the last addresses of the remembered devices the first did not
// hear (Inventory::absentAddresses) and not the limited broadcast. sink gets
// each device once. Returns the first run's result.
int discover_asking_remembered(const Inventory *inventory, const DiscoverInterface *interfaces,
                               int count, DiscoverSink *sink, const DiscoverRunOptions &options);
