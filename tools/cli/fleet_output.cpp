// SPDX-License-Identifier: GPL-3.0-or-later
#include "fleet_commands.h"

#include <cstdio>
#include <cstring>

std::string firmware_text(const DiscoverEntry &entry)
{
    return table_text(std::string(entry.firmware, strnlen(entry.firmware, sizeof(entry.firmware))),
                      FieldKind::Bytes);
}

bool print_fleet_output(const CliCommand &command, const std::vector<Record> &records,
                        const std::vector<std::string> &lines)
{
    std::string out;
    if (command.format == OutputFormat::Json)
        out = format_records({}, records, OutputFormat::Json);
    else
        for (const std::string &line : lines)
            out += line + "\n";
    std::fwrite(out.data(), 1, out.size(), stdout);
    return std::fflush(stdout) == 0;
}
