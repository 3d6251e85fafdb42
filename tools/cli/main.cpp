#include "command_line.h"
#include "discover_command.h"
#include "exchange_command.h"

#include <QCoreApplication>
#include <cstdlib>
#include <ctime>
#include <unistd.h>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName("devscout-cli");
    QCoreApplication::setApplicationVersion(DEVSCOUT_VERSION);

    // Session ids come from rand(): unseeded, every run of a script would use
    // the same ones, and two scripts started together would share them.
    std::srand(static_cast<unsigned>(std::time(nullptr)) ^ (static_cast<unsigned>(getpid()) << 16));

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
