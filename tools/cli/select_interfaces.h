// The local addresses a command binds its discovery sockets to.
#pragma once

#include "command_line.h"
#include "discover_run.h"

// Fills out from --interface or --bind, or with every interface when neither
// is given, saying so when none can broadcast and the wildcard stands in.
// Returns the count (at least 1), or -1 after printing which argument names
// nothing on this machine.
int select_interfaces(const CliCommand &command, std::vector<DiscoverInterface> *out);
