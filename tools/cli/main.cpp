#include "command_line.h"
#include "discover_command.h"
#include "exchange_command.h"

#include <QCoreApplication>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName("devscout-cli");
    QCoreApplication::setApplicationVersion(DEVSCOUT_VERSION);

    CliCommand command;
    int exit_status = STATUS_OK;
    if (!parse_command_line(QCoreApplication::arguments(), &command, &exit_status))
        return exit_status;
    switch (command.kind) {
    case CommandKind::Discover:
        return run_discover(command);
    case CommandKind::Setup:
        return run_setup(command);
    case CommandKind::Install:
        return run_install(command);
    }
    return STATUS_USAGE;
}
