// SPDX-License-Identifier: GPL-3.0-or-later
#include "commands.h"

#include "discover.h"

#include <QCoreApplication>
#include <cstdio>

namespace
{

// Standard output carries the command's own result alone, so the protocol's
// lines, results included, go to stderr, and only when asked for.
void protocol_line_to_stderr(DiscoverLineKind, const char *line)
{
    std::fputs(line, stderr);
}

void drop_protocol_line(DiscoverLineKind, const char *) {}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName("devscout-cli");
    QCoreApplication::setApplicationVersion(DEVSCOUT_VERSION);

    CliCommand command;
    int exit_status = STATUS_OK;
    if (!parse_command_line(QCoreApplication::arguments(), &command, &exit_status))
        return exit_status;
    discover_set_line_handler(command.verbose ? protocol_line_to_stderr : drop_protocol_line);
    return run_command(command);
}
