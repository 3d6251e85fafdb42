// The one-line failure report of the protocol library.
#pragma once

#include "fd_guard.h"

// Prints one failure line on stderr; the format is checked at compile time.
[[gnu::format(printf, 1, 2)]] void report_error(const char *format, ...);
