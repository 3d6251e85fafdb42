// SPDX-License-Identifier: GPL-3.0-or-later
// The devices' install ports. One that never answers is a listener whose
// accept queue the simulator fills with connections of its own and never
// accepts, so that the kernel drops every further SYN and a host's connect
// waits instead of being refused, without any firewall rule.
#pragma once

#include "fd_guard.h"

#include <netinet/in.h>

struct Blackhole {
    FdGuard listener;
    FdGuard fillers[2];
};

// A non-blocking listener on addr's install port whose accept queue is full
// at two connections; none, with errno set, when it cannot be opened.
FdGuard listen_install_port(in_addr addr);

// Opens it on addr's install port; false with errno set when it cannot.
bool open_blackhole(in_addr addr, Blackhole *out);
