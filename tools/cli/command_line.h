// SPDX-License-Identifier: GPL-3.0-or-later
// The command line of devscout-cli: which command, on which interfaces, with
// which checked values.
#pragma once

#include "address_plan.h"
#include "discover_run.h"
#include "output.h"
#include "verify.h"

#include <QString>
#include <QStringList>
#include <netinet/ether.h>
#include <netinet/in.h>
#include <string>
#include <vector>

enum ExitStatus {
    STATUS_OK = 0,     // done, or the device (every device) accepted
    STATUS_FAILED = 1, // a device refused, did not answer or is ambiguous; or the
                       // inventory could not be written or does not know the MAC
    STATUS_USAGE = 2,  // bad usage or input; nothing was sent
};

enum class CommandKind { Discover, Setup, Install, Inventory, Note, Doctor };

struct CliCommand {
    CommandKind kind = CommandKind::Discover;
    OutputFormat format = OutputFormat::Table;
    std::string interface_name;          // --interface, empty when not given
    std::string bind;                    // --bind, empty when not given
    std::vector<in_addr> targets;        // --target, beyond the limited broadcast
    uint16_t source_port = 0;            // --source-port; 0: the system picks
    int max_run_ms = DEFAULT_MAX_RUN_MS; // --max-time
    int timeout_ms = 0;                  // --timeout; 0 keeps the protocol's deadlines
    in_addr address{};                   // --address; 0.0.0.0 when not given
    ether_addr mac{};
    in_addr ipaddr{};
    in_addr netmask{};
    bool dhcp = false;
    bool verbose = false; // --verbose: the protocol's lines on stderr
    std::string image;
    QString database;            // --database; empty for the default file
    bool use_inventory = true;   // false with --no-inventory
    int watch_ms = 0;            // discover --watch; 0 for a single run
    bool ask_remembered = false; // discover --ask-remembered
    bool list_absent = false;    // inventory --absent
    std::string import_path;     // inventory --import
    QString site;                // inventory --site
    bool probe = false;          // doctor --probe
    QString note;                // note's TEXT
    // Many devices at once: install with several MACs (or --parallel,
    // --verify, --json), setup with --plan or --from.
    bool fleet = false;
    std::vector<ether_addr> macs; // install MAC..., setup MAC... --from
    int parallel = 0;             // install --parallel; 0: the library's default
    int verify_ms = 0;            // install --verify; 0: no check afterwards
    std::string plan_path;        // setup --plan
    std::vector<PlanRow> plan;    // read from --plan
    in_addr from{};               // setup --from
    bool dry_run = false;         // setup --dry-run
    // install --verify-delay: from the uploads' end to the first ask
    int verify_delay_ms = DEFAULT_VERIFY_FIRST_ASK_MS;
};

// Fills command and returns true when it is ready to run. Otherwise the help,
// the version or one error line has been printed, and exit_status says how
// the program ends.
bool parse_command_line(const QStringList &arguments, CliCommand *command, int *exit_status);

// Prints "devscout-cli: <message>" as one line on stderr.
void print_cli_error(const std::string &message);
