// SPDX-License-Identifier: GPL-3.0-or-later
#include "report.h"
#include "discover.h"

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>

namespace
{

void write_to_stream(DiscoverLineKind kind, const char *line)
{
    FILE *stream = kind == LINE_RESULT ? stdout : stderr;
    std::fputs(line, stream);
    // Results keep their place among other programs' output on a pipe.
    if (kind == LINE_RESULT)
        std::fflush(stream);
}

std::atomic<DiscoverLineHandler> line_handler{write_to_stream};

// Room for the longest line: one that names an image path.
constexpr int LINE_MAX_BYTES = 4608;

void emit(DiscoverLineKind kind, const char *format, va_list args)
{
    // Callers report first and then hand errno on.
    const int saved = errno;
    char line[LINE_MAX_BYTES];
    std::vsnprintf(line, sizeof(line), format, args);
    line_handler.load()(kind, line);
    errno = saved;
}

} // namespace

void discover_set_line_handler(DiscoverLineHandler handler)
{
    line_handler.store(handler != nullptr ? handler : write_to_stream);
}

void report_error(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    emit(LINE_ERROR, format, args);
    va_end(args);
}

void report_result(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    emit(LINE_RESULT, format, args);
    va_end(args);
}
