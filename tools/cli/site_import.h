// SPDX-License-Identifier: GPL-3.0-or-later
// inventory --import FILE --site NAME: the devices another host's
// `devscout-cli discover --json` found, merged in as that site's run.
#pragma once

#include "command_line.h"

// The most characters a site name may have.
constexpr int MAX_SITE_NAME = 64;

// Reads the file whole, checks every device in it, and only then records
// it; exit status 2 for a file that will not do, with nothing changed.
int import_site(const CliCommand &command);
