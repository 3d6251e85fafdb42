// SPDX-License-Identifier: GPL-3.0-or-later
// What the checks share about this host's interfaces.
#pragma once

#include "discover_run.h"

#include <string>
#include <vector>

// The addresses a run uses by default; empty when there are none.
std::vector<LocalAddress> run_addresses();

// Dotted decimal.
std::string dotted(in_addr address);
