// SPDX-License-Identifier: GPL-3.0-or-later
#include "command_line.h"

#include "batch_install.h"
#include "checks.h"
#include "site_import.h"
#include "text.h"
#include "values.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <cstdio>
#include <cstring>
#include <vector>

void print_cli_error(const std::string &message)
{
    std::fprintf(stderr, "devscout-cli: %s\n", message.c_str());
}

namespace
{

struct ArgumentSyntax {
    const char *name;
    const char *description;
    const char *usage = nullptr; // in the usage line when not just the name
};

struct CommandSyntax {
    const char *name;
    CommandKind kind;
    const char *description;
    std::vector<ArgumentSyntax> arguments; // after the command name
};

const CommandSyntax COMMANDS[] = {
    {"discover",
     CommandKind::Discover,
     "Lists the devices that answer one discovery run on every interface.",
     {}},
    {"setup",
     CommandKind::Setup,
     "Gives the device with this MAC address a new IPv4 address and netmask; or many "
     "devices an address each: setup MAC... --from FIRST_IP NETMASK counts up from FIRST_IP, "
     "setup --plan FILE reads mac,ip,netmask[,dhcp] lines.",
     {{"MAC", "The device's MAC address, such as 02:00:00:00:00:01 (with --from: several)."},
      {"IP", "Its new IPv4 address (0.0.0.0 with --dhcp: none; not with --from)."},
      {"NETMASK", "Its new netmask (0.0.0.0 with --dhcp: none)."}}},
    {"install",
     CommandKind::Install,
     "Uploads a firmware image to the device with this MAC address, or to each of several.",
     {{"MAC", "The device's MAC address; several for many devices at once.", "MAC [MAC...]"},
      {"IMAGE", "The image file to upload."}}},
    {"inventory",
     CommandKind::Inventory,
     "Lists the devices remembered from earlier discovery runs, with their state, name, "
     "note and site; or, with --import, merges in another host's discovery run.",
     {}},
    {"note",
     CommandKind::Note,
     "Sets the note of a remembered device; an empty TEXT removes it.",
     {{"MAC", "The device's MAC address."}, {"TEXT", "The note."}}},
    {"doctor",
     CommandKind::Doctor,
     "Says why a discovery may find nothing: the interfaces a run uses and leaves out, a packet "
     "filter that drops the replies (with the command that admits them), reverse-path "
     "filtering and the route of the broadcast; a line per check. Exit status: 0 when nothing "
     "stands in the way, 1 when something does.",
     {}},
};

std::string argument_names(const CommandSyntax &syntax)
{
    std::string names;
    for (const ArgumentSyntax &argument : syntax.arguments)
        names += std::string(names.empty() ? "" : " ") + argument.name;
    return names.empty() ? "no arguments" : names;
}

bool usage_error(const std::string &message, int *exit_status)
{
    print_cli_error(message + " (see devscout-cli --help)");
    *exit_status = STATUS_USAGE;
    return false;
}

// why: "expected ..." for text that does not parse, or the check's phrase.
bool bad_value(const char *what, const QString &text, const char *why, int *exit_status)
{
    print_cli_error(std::string("bad ") + what + " '" + text.toStdString() + "': " + why +
                    "; nothing sent");
    *exit_status = STATUS_USAGE;
    return false;
}

// Most that a deadline in milliseconds can hold.
constexpr int MAX_SECONDS = 2147483;
static_assert(MAX_SECONDS <= INT32_MAX / 1000);
constexpr char SECONDS_EXPECTED[] = "expected whole seconds from 1 to 2147483";

// Digits only, from least to most.
bool read_whole_number(const QString &text, int least, int most, int *out)
{
    bool ok = !text.isEmpty() && text.size() <= 7;
    for (QChar c : text)
        ok = ok && c >= QLatin1Char('0') && c <= QLatin1Char('9');
    const int value = ok ? text.toInt() : 0;
    if (!ok || value < least || value > most)
        return false;
    *out = value;
    return true;
}

bool read_seconds(const QString &text, int *ms)
{
    int seconds = 0;
    if (!read_whole_number(text, 1, MAX_SECONDS, &seconds))
        return false;
    *ms = seconds * 1000;
    return true;
}

constexpr char MAC_EXPECTED[] = "expected six hex bytes such as 02:00:00:00:00:01";
constexpr char NETMASK_EXPECTED[] = "expected a dotted netmask such as 255.255.255.0";

bool read_mac(const QString &text, ether_addr *mac, int *exit_status)
{
    if (!parse_mac(text.toStdString(), mac))
        return bad_value("MAC address", text, MAC_EXPECTED, exit_status);
    if (const char *problem = check_device_mac(*mac))
        return bad_value("MAC address", text, problem, exit_status);
    return true;
}

// The MACs of a command on many devices; one given twice would get two
// exchanges at once.
bool read_macs(const QStringList &texts, CliCommand *command, int *exit_status)
{
    for (const QString &text : texts) {
        ether_addr mac{};
        if (!read_mac(text, &mac, exit_status))
            return false;
        for (const ether_addr &earlier : command->macs)
            if (same_mac(earlier, mac))
                return bad_value("MAC address", text, "given twice", exit_status);
        command->macs.push_back(mac);
    }
    return true;
}

bool read_image(const QString &text, CliCommand *command, int *exit_status)
{
    // Paths are bytes: hand back exactly what the shell gave.
    command->image = QFile::encodeName(text).toStdString();
    int error = 0;
    const ImageProblem problem = check_image(command->image.c_str(), &error);
    if (problem != IMAGE_OK) {
        print_cli_error("image '" + command->image + "': " + image_problem_text(problem) +
                        (error != 0 ? std::string(": ") + std::strerror(error) : "") +
                        "; nothing sent");
        *exit_status = STATUS_USAGE;
        return false;
    }
    return true;
}

// Every bad line is named before the command gives up.
bool read_plan(CliCommand *command, int *exit_status)
{
    std::vector<std::string> errors;
    const int read = read_plan_file(command->plan_path.c_str(), &command->plan, &errors);
    for (const std::string &error : errors)
        print_cli_error("plan '" + command->plan_path + "': " + error);
    if (read == 0 && !command->plan.empty())
        return true;
    print_cli_error("plan '" + command->plan_path + "' " +
                    (read < 0 ? "not used" : "names no device") + "; nothing sent");
    *exit_status = STATUS_USAGE;
    return false;
}

// setup MAC... --from FIRST_IP NETMASK: the netmask is the last value.
bool read_counting(const QStringList &values, const QString &first, CliCommand *command,
                   int *exit_status)
{
    if (!read_macs(values.mid(0, values.size() - 1), command, exit_status))
        return false;
    const QString &netmask = values.back();
    if (!parse_ipv4(first.toStdString(), &command->from))
        return bad_value("--from", first, "expected a dotted IPv4 address such as 192.0.2.10",
                         exit_status);
    if (!parse_ipv4(netmask.toStdString(), &command->netmask))
        return bad_value("netmask", netmask, NETMASK_EXPECTED, exit_status);
    if (const char *problem = check_new_netmask(command->netmask, false))
        return bad_value("netmask", netmask, problem, exit_status);
    if (const char *problem = check_new_ip(command->from, command->netmask, false))
        return bad_value("--from", first, problem, exit_status);
    return true;
}

bool read_values(const QStringList &values, CliCommand *command, int *exit_status)
{
    if (command->kind == CommandKind::Discover || command->kind == CommandKind::Inventory ||
        command->kind == CommandKind::Doctor)
        return true;
    if (command->kind == CommandKind::Note) {
        command->note = values[1];
        if (parse_mac(values[0].toStdString(), &command->mac))
            return true;
        print_cli_error("bad MAC address '" + values[0].toStdString() + "': " + MAC_EXPECTED);
        *exit_status = STATUS_USAGE;
        return false;
    }
    if (command->fleet && command->kind == CommandKind::Install)
        return read_macs(values.mid(0, values.size() - 1), command, exit_status) &&
               read_image(values.back(), command, exit_status);
    if (command->fleet)
        return command->plan_path.empty() ? true : read_plan(command, exit_status);
    if (!read_mac(values[0], &command->mac, exit_status))
        return false;
    if (command->kind == CommandKind::Setup) {
        if (!parse_ipv4(values[1].toStdString(), &command->ipaddr))
            return bad_value("IP address", values[1],
                             "expected a dotted IPv4 address such as 192.0.2.10", exit_status);
        if (!parse_ipv4(values[2].toStdString(), &command->netmask))
            return bad_value("netmask", values[2], NETMASK_EXPECTED, exit_status);
        if (const char *problem = check_new_ip(command->ipaddr, command->netmask, command->dhcp))
            return bad_value("IP address", values[1], problem, exit_status);
        if (const char *problem = check_new_netmask(command->netmask, command->dhcp))
            return bad_value("netmask", values[2], problem, exit_status);
        return true;
    }
    return read_image(values[1], command, exit_status);
}

// How many values the command's form takes; false after the usage line.
bool count_values(const CommandSyntax &syntax, qsizetype count, const CliCommand &command,
                  int *exit_status)
{
    const bool plan = !command.plan_path.empty();
    const bool counting = command.fleet && syntax.kind == CommandKind::Setup && !plan;
    bool fits = static_cast<size_t>(count) == syntax.arguments.size();
    if (syntax.kind == CommandKind::Install)
        fits = count >= 2;
    else if (plan)
        fits = count == 0;
    else if (counting)
        fits = count >= 2;
    if (fits)
        return true;
    if (syntax.kind == CommandKind::Install)
        return usage_error("install takes MAC [MAC...] IMAGE", exit_status);
    if (plan)
        return usage_error("setup --plan FILE takes no other values", exit_status);
    if (counting)
        return usage_error("setup --from FIRST_IP takes MAC [MAC...] NETMASK", exit_status);
    if (syntax.kind == CommandKind::Setup)
        return usage_error("setup takes MAC IP NETMASK (or MAC... --from FIRST_IP NETMASK, or "
                           "--plan FILE)",
                           exit_status);
    return usage_error(std::string(syntax.name) + " takes " + argument_names(syntax), exit_status);
}

// inventory --import FILE --site NAME, or neither.
bool read_import(const QCommandLineParser &parser, const QCommandLineOption &import_option,
                 const QCommandLineOption &site_option, CliCommand *command, int *exit_status)
{
    if (!parser.isSet(import_option))
        return !parser.isSet(site_option) ||
               usage_error("--site names the site of --import", exit_status);
    if (parser.value(import_option).isEmpty())
        return usage_error("--import needs a file", exit_status);
    if (!parser.isSet(site_option))
        return usage_error("--import needs --site NAME", exit_status);
    if (parser.isSet("json") || parser.isSet("csv") || parser.isSet("absent"))
        return usage_error("--import prints one line; --json, --csv and --absent do not apply",
                           exit_status);
    const QString site = parser.value(site_option);
    bool ok = !site.isEmpty() && site.size() <= MAX_SITE_NAME;
    for (QChar c : site)
        ok = ok && c.isPrint();
    if (!ok)
        return usage_error("bad --site '" + site.toStdString() +
                               "': expected 1 to 64 printable characters; nothing imported",
                           exit_status);
    command->import_path = QFile::encodeName(parser.value(import_option)).toStdString();
    command->site = site;
    return true;
}

} // namespace

bool parse_command_line(const QStringList &arguments, CliCommand *command, int *exit_status)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        "Finds embedded network devices on the local IPv4 segments, sets them up and installs "
        "firmware on them.\nExit status: 0 success, 1 the device refused, did not answer or "
        "is not one device, 2 bad usage or input.\nWith many devices: 0 when every device "
        "succeeded, 1 when any did not, 2 bad usage or input (nothing sent).");
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    const QCommandLineOption interface_option(
        "interface", "Use only the interface NAME (default: every interface).", "NAME");
    const QCommandLineOption bind_option(
        "bind", "Use only the interface with the local address ADDRESS.", "ADDRESS");
    const QCommandLineOption target_option(
        "target",
        "Also send the discovery to ADDRESS: the broadcast address of a subnet behind a "
        "router, or one device's address (may be repeated).",
        "ADDRESS");
    const QCommandLineOption source_port_option(
        "source-port",
        "Send the discovery and a setup or install request from UDP port PORT (1-65535) instead "
        "of any free one.",
        "PORT");
    const QCommandLineOption max_time_option(
        "max-time", "Let a discovery run last at most SECONDS (default 30).", "SECONDS");
    const QCommandLineOption verbose_option(
        "verbose", "Also show the protocol's own lines (every reply, skip and time-out) on "
                   "standard error.");
    const QCommandLineOption database_option("database",
                                             "Remember the devices in the file PATH (default: "
                                             "~/.local/share/devscout/inventory.sqlite).",
                                             "PATH");
    const QCommandLineOption no_inventory_option(
        "no-inventory", "Neither read nor record what earlier discovery runs found.");
    parser.addOptions({interface_option, bind_option, target_option, source_port_option,
                       max_time_option, verbose_option, database_option, no_inventory_option});
    parser.addPositionalArgument("command", "discover, setup, install, inventory, note or doctor.");

    // A first pass only finds the command; its own options come next.
    parser.parse(arguments);
    const QStringList first = parser.positionalArguments();
    const CommandSyntax *syntax = nullptr;
    for (const CommandSyntax &candidate : COMMANDS)
        if (!first.isEmpty() && first[0] == QLatin1String(candidate.name))
            syntax = &candidate;
    if (syntax == nullptr && !first.isEmpty() && !parser.isSet(help))
        return usage_error("unknown command '" + first[0].toStdString() + "'", exit_status);

    const QCommandLineOption json_option("json", "Print a JSON array of objects.");
    const QCommandLineOption csv_option("csv", "Print CSV (RFC 4180) with a header line.");
    const QCommandLineOption watch_option(
        "watch",
        "Run a discovery every SECONDS until interrupted, printing a JSON line for each "
        "device that appears, changes or is gone.",
        "SECONDS");
    const QCommandLineOption ask_remembered_option(
        "ask-remembered",
        "Also ask each remembered device that the discovery did not hear at its last address, "
        "so that one behind a router is found again without --target.");
    const QCommandLineOption absent_option(
        "absent", "Also list the devices that did not answer the last discovery run.");
    const QCommandLineOption import_option(
        "import",
        "Merge FILE, what devscout-cli discover --json printed on another host, into the "
        "inventory as one run of the site --site names: that site's devices not in FILE become "
        "absent. Prints one line of counts.",
        "FILE");
    const QCommandLineOption site_option(
        "site", "The site (1 to 64 printable characters) the devices of --import were found at.",
        "NAME");
    const QCommandLineOption dhcp_option("dhcp", "Tell the device to use DHCP.");
    const QCommandLineOption probe_option(
        "probe", "Also run a discovery and count, per interface, the requests sent, the "
                 "datagrams received and the valid replies.");
    const QCommandLineOption address_option(
        "address",
        "Of several devices that answer with the MAC, use the one whose reply came from, or "
        "that reports, ADDRESS.",
        "ADDRESS");
    const QCommandLineOption parallel_option(
        "parallel", "Upload to at most N devices at once (1 to 32, default 4).", "N");
    const QCommandLineOption verify_option(
        "verify",
        "After the uploads and --verify-delay, ask every 10 s for up to SECONDS until each "
        "device answered again, and say whether it came back and with which firmware.",
        "SECONDS");
    const QCommandLineOption verify_delay_option(
        "verify-delay",
        "With --verify, ask first SECONDS after the last upload ended (default 10), leaving the "
        "devices time to restart: one still running its old image answers too.",
        "SECONDS");
    const QCommandLineOption plan_option(
        "plan",
        "Give each device an address from FILE: lines of mac,ip,netmask[,dhcp] (dhcp 0/1, "
        "yes/no or true/false; a header line, blank lines and # comments are allowed).",
        "FILE");
    const QCommandLineOption from_option(
        "from",
        "Give the MACs addresses counted up from FIRST_IP in NETMASK's subnet, skipping "
        "addresses that listed or remembered devices hold.",
        "FIRST_IP");
    const QCommandLineOption dry_run_option(
        "dry-run", "Print the plan and its problems; send no setup (the locating discovery "
                   "still runs).");
    const QCommandLineOption timeout_option(
        "timeout",
        "Give up when the upload makes no progress for SECONDS (default 30), or the install "
        "port does not answer within SECONDS (default 5).",
        "SECONDS");
    if (syntax != nullptr) {
        parser.clearPositionalArguments();
        parser.addPositionalArgument(syntax->name, syntax->description, syntax->name);
        for (const ArgumentSyntax &argument : syntax->arguments)
            parser.addPositionalArgument(argument.name, argument.description,
                                         argument.usage != nullptr ? argument.usage
                                                                   : argument.name);
        if (syntax->kind == CommandKind::Discover || syntax->kind == CommandKind::Inventory)
            parser.addOptions({json_option, csv_option});
        if (syntax->kind == CommandKind::Discover)
            parser.addOptions({watch_option, ask_remembered_option});
        if (syntax->kind == CommandKind::Inventory)
            parser.addOptions({absent_option, import_option, site_option});
        if (syntax->kind == CommandKind::Doctor)
            parser.addOption(probe_option);
        if (syntax->kind == CommandKind::Setup)
            parser.addOptions({dhcp_option, plan_option, from_option, dry_run_option});
        if (syntax->kind == CommandKind::Setup || syntax->kind == CommandKind::Install)
            parser.addOptions({address_option, json_option});
        if (syntax->kind == CommandKind::Install)
            parser.addOptions(
                {timeout_option, parallel_option, verify_option, verify_delay_option});
    }
    if (!parser.parse(arguments))
        return usage_error(parser.errorText().toStdString(), exit_status);
    if (parser.isSet(help)) {
        std::fputs(qPrintable(parser.helpText()), stdout);
        *exit_status = STATUS_OK;
        return false;
    }
    if (parser.isSet(version)) {
        std::printf("devscout-cli %s\n", qPrintable(QCoreApplication::applicationVersion()));
        *exit_status = STATUS_OK;
        return false;
    }
    if (syntax == nullptr)
        return usage_error("no command given", exit_status);

    const bool install = syntax->kind == CommandKind::Install;
    const bool setup = syntax->kind == CommandKind::Setup;
    const QStringList values = parser.positionalArguments().mid(1);
    if (setup && parser.isSet(plan_option) && parser.isSet(from_option))
        return usage_error("--plan and --from exclude each other", exit_status);
    if (setup && parser.isSet(plan_option) && parser.value(plan_option).isEmpty())
        return usage_error("--plan needs a file", exit_status);
    command->plan_path =
        setup ? QFile::encodeName(parser.value(plan_option)).toStdString() : std::string();
    command->fleet = (setup && (parser.isSet(plan_option) || parser.isSet(from_option))) ||
                     (install && (values.size() > 2 || parser.isSet(parallel_option) ||
                                  parser.isSet(verify_option) || parser.isSet(json_option)));
    if (!count_values(*syntax, values.size(), *command, exit_status))
        return false;
    if (command->fleet && parser.isSet(address_option))
        return usage_error("--address picks one of the devices that answer with one MAC; it "
                           "does not apply to many devices",
                           exit_status);
    if (setup && parser.isSet(dry_run_option) && !command->fleet)
        return usage_error("--dry-run applies to --plan and --from", exit_status);
    if (setup && parser.isSet(json_option) && !command->fleet)
        return usage_error("--json applies to --plan and --from", exit_status);
    if (setup && command->fleet && parser.isSet(dhcp_option))
        return usage_error("--dhcp applies to one device; a plan's lines say dhcp themselves",
                           exit_status);
    if (parser.isSet(interface_option) && parser.isSet(bind_option))
        return usage_error("--interface and --bind exclude each other", exit_status);
    if (parser.isSet(interface_option) && parser.value(interface_option).isEmpty())
        return usage_error("--interface needs a name", exit_status);
    if (parser.isSet(bind_option) && parser.value(bind_option).isEmpty())
        return usage_error("--bind needs an address", exit_status);
    const bool discover = syntax->kind == CommandKind::Discover;
    const bool listing = discover || syntax->kind == CommandKind::Inventory;
    const bool exchange =
        syntax->kind == CommandKind::Setup || syntax->kind == CommandKind::Install;
    if (listing && parser.isSet(json_option) && parser.isSet(csv_option))
        return usage_error("--json and --csv exclude each other", exit_status);
    if (discover && parser.isSet(watch_option) && parser.isSet(csv_option))
        return usage_error("--watch prints JSON lines; --csv does not apply", exit_status);
    if (parser.isSet(database_option) && parser.isSet(no_inventory_option))
        return usage_error("--database and --no-inventory exclude each other", exit_status);
    if (parser.isSet(database_option) && parser.value(database_option).isEmpty())
        return usage_error("--database needs a path", exit_status);
    const bool remembering =
        syntax->kind == CommandKind::Inventory || syntax->kind == CommandKind::Note;
    if (discover && parser.isSet(ask_remembered_option) && parser.isSet(no_inventory_option))
        return usage_error("--ask-remembered needs the inventory; drop --no-inventory",
                           exit_status);
    command->ask_remembered = discover && parser.isSet(ask_remembered_option);
    if (remembering && parser.isSet(no_inventory_option))
        return usage_error(std::string(syntax->name) + " needs the inventory; drop --no-inventory",
                           exit_status);
    if (listing && !discover &&
        !read_import(parser, import_option, site_option, command, exit_status))
        return false;

    if (discover && parser.isSet(watch_option) &&
        !read_seconds(parser.value(watch_option), &command->watch_ms))
        return bad_value("--watch", parser.value(watch_option), SECONDS_EXPECTED, exit_status);
    for (const QString &value : parser.values(target_option)) {
        in_addr target{};
        if (!parse_ipv4(value.toStdString(), &target) || target.s_addr == INADDR_ANY)
            return bad_value("--target", value,
                             "expected the dotted IPv4 address of a subnet's broadcast or a device",
                             exit_status);
        command->targets.push_back(target);
    }
    int source_port = 0;
    if (parser.isSet(source_port_option) &&
        !read_whole_number(parser.value(source_port_option), 1, 65535, &source_port))
        return bad_value("--source-port", parser.value(source_port_option),
                         "expected a whole number from 1 to 65535", exit_status);
    command->source_port = static_cast<uint16_t>(source_port);
    if (parser.isSet(max_time_option) &&
        !read_seconds(parser.value(max_time_option), &command->max_run_ms))
        return bad_value("--max-time", parser.value(max_time_option), SECONDS_EXPECTED,
                         exit_status);
    if (install && parser.isSet(parallel_option) &&
        !read_whole_number(parser.value(parallel_option), 1, MAX_PARALLEL_UPLOADS,
                           &command->parallel))
        return bad_value("--parallel", parser.value(parallel_option),
                         "expected a whole number from 1 to 32", exit_status);
    if (install && parser.isSet(verify_option) &&
        !read_seconds(parser.value(verify_option), &command->verify_ms))
        return bad_value("--verify", parser.value(verify_option), SECONDS_EXPECTED, exit_status);
    if (install && parser.isSet(verify_delay_option) && !parser.isSet(verify_option))
        return usage_error("--verify-delay applies to --verify", exit_status);
    if (install && parser.isSet(verify_delay_option)) {
        if (!read_whole_number(parser.value(verify_delay_option), 0, MAX_SECONDS,
                               &command->verify_delay_ms))
            return bad_value("--verify-delay", parser.value(verify_delay_option),
                             "expected whole seconds from 0 to 2147483", exit_status);
        command->verify_delay_ms *= 1000;
    }
    if (install && parser.isSet(timeout_option) &&
        !read_seconds(parser.value(timeout_option), &command->timeout_ms))
        return bad_value("--timeout", parser.value(timeout_option), SECONDS_EXPECTED, exit_status);
    if (exchange && parser.isSet(address_option) &&
        (!parse_ipv4(parser.value(address_option).toStdString(), &command->address) ||
         command->address.s_addr == INADDR_ANY))
        return bad_value("--address", parser.value(address_option),
                         "expected the dotted IPv4 address of a device", exit_status);

    command->kind = syntax->kind;
    command->interface_name = parser.value(interface_option).toStdString();
    command->bind = parser.value(bind_option).toStdString();
    if ((listing || command->fleet) && parser.isSet(json_option))
        command->format = OutputFormat::Json;
    command->dry_run = setup && parser.isSet(dry_run_option);
    if (listing && parser.isSet(csv_option))
        command->format = OutputFormat::Csv;
    command->database = parser.value(database_option);
    command->use_inventory = !parser.isSet(no_inventory_option);
    command->list_absent = syntax->kind == CommandKind::Inventory && parser.isSet(absent_option);
    command->probe = syntax->kind == CommandKind::Doctor && parser.isSet(probe_option);
    command->dhcp = syntax->kind == CommandKind::Setup && parser.isSet(dhcp_option);
    command->verbose = parser.isSet(verbose_option);
    if (setup && parser.isSet(from_option))
        return read_counting(values, parser.value(from_option), command, exit_status);
    return read_values(values, command, exit_status);
}
