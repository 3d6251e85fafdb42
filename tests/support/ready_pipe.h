// SPDX-License-Identifier: GPL-3.0-or-later
// The pipe on which a simulated device started with --ready-fd says that its
// devices answer.
#pragma once

#include "fd_guard.h"

#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

struct ReadyPipe {
    FdGuard in;
    FdGuard out; // the simulator's end, passed as --ready-fd

    // Both ends close-on-exec; false when the pipe cannot be made.
    bool open()
    {
        int ends[2];
        if (pipe2(ends, O_CLOEXEC) != 0)
            return false;
        in = FdGuard(ends[0]);
        out = FdGuard(ends[1]);
        return true;
    }

    // Call once the simulator is started: true when it says "ready", false
    // when it ends first or takes more than 10 s, a generous bound for a
    // loaded machine that measures nothing.
    bool wait()
    {
        out.reset(); // so that the simulator's death reads as end of file
        pollfd waiting{in.get(), POLLIN, 0};
        char said[8] = {};
        return poll(&waiting, 1, 10000) == 1 && read(in.get(), said, sizeof said - 1) > 0 &&
               std::strcmp(said, "ready\n") == 0;
    }
};
