// SPDX-License-Identifier: GPL-3.0-or-later
#include "trace.h"

#include <cstdarg>
#include <cstdio>

void trace(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    // Flushed at once so the lines keep their place among the device's and
    // the shell's output when stdout is a pipe.
    std::fflush(stdout);
}
