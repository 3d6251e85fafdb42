// SPDX-License-Identifier: GPL-3.0-or-later
// The lines of the protocol library, all through the one replaceable handler
// (discover_set_line_handler).
#pragma once

#include "fd_guard.h"

// A failure or notice, by default on stderr; the format is checked at
// compile time and errno is kept.
[[gnu::format(printf, 1, 2)]] void report_error(const char *format, ...);
// A result, by default on stdout.
[[gnu::format(printf, 1, 2)]] void report_result(const char *format, ...);
