// SPDX-License-Identifier: GPL-3.0-or-later
// The window's trace lines on stdout, one per event.
#pragma once

[[gnu::format(printf, 1, 2)]] void trace(const char *format, ...);
