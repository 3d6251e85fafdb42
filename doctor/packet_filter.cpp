// SPDX-License-Identifier: GPL-3.0-or-later
// Whether this host's packet filter lets the replies in: nftables' ruleset
// read through nft, and the firewall front ends that may manage it.
#include "discover.h"
#include "doctor.h"
#include "host_network.h"
#include "nft_verdict.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QStandardPaths>
#include <fstream>
#include <map>
#include <sstream>

namespace
{

// nft answers at once; one that does not is given up on.
constexpr int NFT_TIMEOUT_MS = 5000;

struct NftOutput {
    bool ran = false;
    QByteArray out;
    std::string error; // why it did not run, or its first line on stderr
};

// nft with arguments as given, never through a shell; it lives in sbin,
// which a user's PATH may lack.
NftOutput run_nft(const QStringList &arguments, const DoctorOptions &options)
{
    NftOutput result;
    QString program = QStandardPaths::findExecutable("nft");
    if (program.isEmpty())
        program = QStandardPaths::findExecutable("nft", {"/usr/sbin", "/sbin"});
    if (program.isEmpty()) {
        result.error = "nft is not installed";
        return result;
    }
    QProcess nft;
    nft.start(program, arguments);
    QElapsedTimer waited;
    waited.start();
    while (nft.state() != QProcess::NotRunning) {
        nft.waitForFinished(50);
        if ((options.stop && options.stop()) || waited.hasExpired(NFT_TIMEOUT_MS)) {
            nft.kill();
            nft.waitForFinished();
            result.error = "nft did not answer";
            return result;
        }
    }
    if (nft.exitStatus() != QProcess::NormalExit || nft.exitCode() != 0) {
        const QString said = QString::fromLocal8Bit(nft.readAllStandardError()).trimmed();
        result.error = said.isEmpty() ? nft.errorString().toStdString()
                                      : said.section('\n', 0, 0).toStdString();
        if (said.contains("Operation not permitted"))
            result.error = "nft may not read the ruleset without privileges (run as root)";
        return result;
    }
    result.ran = true;
    result.out = nft.readAllStandardOutput();
    return result;
}

// The text of each rule of `nft -a list ruleset`, by table and handle.
std::map<std::string, std::string> rule_texts(const QByteArray &listing)
{
    std::map<std::string, std::string> texts;
    std::istringstream lines(listing.toStdString());
    std::string table;
    const std::string marker = " # handle ";
    for (std::string line; std::getline(lines, line);) {
        const size_t start = line.find_first_not_of(" \t");
        if (start == std::string::npos)
            continue;
        line.erase(0, start);
        std::istringstream words(line);
        std::string word, family, name;
        if (words >> word >> family >> name && word == "table")
            table = family + " " + name;
        else if (const size_t at = line.rfind(marker); at != std::string::npos)
            texts[table + " " + line.substr(at + marker.size())] = line.substr(0, at);
    }
    return texts;
}

std::pair<uint16_t, uint16_t> picked_ports()
{
    std::ifstream range("/proc/sys/net/ipv4/ip_local_port_range");
    unsigned low = 32768, high = 60999;
    range >> low >> high;
    return {static_cast<uint16_t>(low), static_cast<uint16_t>(high)};
}

bool ufw_active()
{
    std::ifstream conf("/etc/ufw/ufw.conf");
    for (std::string line; std::getline(conf, line);)
        if (line == "ENABLED=yes")
            return true;
    return false;
}

bool firewalld_active()
{
    std::ifstream pid_file("/run/firewalld.pid");
    int pid = 0;
    if (!(pid_file >> pid) || pid <= 0)
        return false;
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    return std::getline(comm, name) && name.rfind("firewall", 0) == 0;
}

// Loaded legacy iptables tables, which nft does not show; empty for none.
std::string legacy_tables()
{
    std::ifstream names("/proc/net/ip_tables_names");
    std::string all;
    for (std::string name; names >> name;)
        all += (all.empty() ? "" : ", ") + name;
    return all;
}

} // namespace

void check_packet_filter(const DoctorOptions &options, std::vector<DoctorLine> *lines)
{
    const uint16_t port = options.source_port != 0 ? options.source_port : DOCTOR_SUGGESTED_PORT;
    const std::string fixed = std::to_string(port);
    const std::string run_with = " and run with --source-port " + fixed;
    const auto [low, high] = options.source_port != 0
                                 ? std::pair(options.source_port, options.source_port)
                                 : picked_ports();
    const std::string ports = options.source_port != 0
                                  ? "UDP port " + fixed
                                  : "UDP ports " + std::to_string(low) + "-" +
                                        std::to_string(high) + " (the system picks one per run)";

    bool admitted = false;
    const NftOutput ruleset = run_nft({"-j", "list", "ruleset"}, options);
    const NftOutput listing =
        ruleset.ran ? run_nft({"-a", "list", "ruleset"}, options) : NftOutput{};
    if (!ruleset.ran) {
        lines->push_back({DOCTOR_UNCHECKED, "packet filter: " + ruleset.error});
    } else {
        const std::map<std::string, std::string> texts = rule_texts(listing.out);
        std::vector<LocalAddress> used = run_addresses();
        if (used.empty())
            used.push_back({}); // the wildcard: any interface, any subnet
        admitted = true;
        for (const LocalAddress &local : used) {
            const ReplyPacket packet{local.where.name, low, high, local.where.addr, local.netmask};
            const FilterVerdict verdict = evaluate_ruleset(ruleset.out, packet);
            const std::string on = local.where.name[0] != '\0'
                                       ? std::string(" on ") + local.where.name
                                       : std::string(" on any interface");
            admitted = admitted && verdict.kind == VERDICT_ACCEPT;
            if (verdict.kind == VERDICT_ACCEPT) {
                lines->push_back(
                    {DOCTOR_OK, "packet filter: nftables lets replies to " + ports + " in" + on});
                continue;
            }
            if (verdict.chain.empty()) {
                lines->push_back({DOCTOR_UNCHECKED, "packet filter: nft's ruleset is unreadable"});
                continue;
            }
            const std::string table = verdict.family + " " + verdict.table;
            const auto text = texts.find(table + " " + std::to_string(verdict.handle));
            std::string where = "table " + table + ", chain " + verdict.chain;
            if (verdict.chain != verdict.base_chain)
                where += " (from " + verdict.base_chain + ")";
            where += verdict.handle < 0    ? ", policy drop"
                     : text != texts.end() ? ", rule: " + text->second
                                           : ", rule handle " + std::to_string(verdict.handle);
            const std::string admit = "nft insert rule " + table + " " + verdict.base_chain +
                                      " udp sport " + std::to_string(DISCOVER_PORT) +
                                      " udp dport " + fixed + " accept";
            if (verdict.kind == VERDICT_DROP)
                lines->push_back({DOCTOR_PROBLEM, "packet filter: nftables drops replies to " +
                                                      ports + on + " in " + where +
                                                      "; admit them: " + admit + run_with});
            else
                lines->push_back({DOCTOR_UNCHECKED,
                                  "packet filter: cannot tell whether nftables lets replies "
                                  "to " +
                                      ports + " in" + on + ": " + where +
                                      " is beyond this check; to be sure: " + admit + run_with});
        }
    }
    if (const std::string tables = legacy_tables(); !tables.empty())
        lines->push_back({DOCTOR_UNCHECKED, "packet filter: legacy iptables tables are loaded (" +
                                                tables + "); their rules are not checked"});
    const DoctorSeverity front_end = admitted ? DOCTOR_NOTE : DOCTOR_PROBLEM;
    if (ufw_active())
        lines->push_back({front_end, "firewall: ufw is active; admit the replies: ufw allow "
                                     "proto udp to any port " +
                                         fixed + run_with});
    if (firewalld_active())
        lines->push_back({front_end, "firewall: firewalld is running; admit the replies: "
                                     "firewall-cmd --add-port=" +
                                         fixed + "/udp" + run_with});
}
