// SPDX-License-Identifier: GPL-3.0-or-later
// The interfaces a run uses, reverse-path filtering and the route of the
// limited broadcast.
#include "host_network.h"
#include "doctor.h"
#include "fd_guard.h"
#include "text.h"

#include <algorithm>
#include <arpa/inet.h>
#include <bit>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <ifaddrs.h>
#include <map>
#include <sstream>
#include <sys/socket.h>

std::vector<LocalAddress> run_addresses()
{
    std::vector<LocalAddress> all, used;
    if (list_local_addresses(&all) < 0)
        return used;
    for (const LocalAddress &local : all)
        if (is_discover_address(local))
            used.push_back(local);
    return used;
}

std::string dotted(in_addr address)
{
    char text[INET_ADDRSTRLEN];
    return format_ipv4(address, text);
}

namespace
{

struct Interface {
    unsigned flags = 0;
    std::vector<const ifaddrs *> ipv4;
};

std::string used_line(const char *name, unsigned flags, const ifaddrs &address)
{
    const in_addr addr = reinterpret_cast<const sockaddr_in *>(address.ifa_addr)->sin_addr;
    in_addr mask{};
    if (address.ifa_netmask != nullptr)
        mask = reinterpret_cast<const sockaddr_in *>(address.ifa_netmask)->sin_addr;
    // Computed: an address added without one reports itself as broadcast.
    const in_addr broadcast{addr.s_addr | ~mask.s_addr};
    std::string line = "interface " + std::string(name) + ": used: " + dotted(addr) + "/" +
                       std::to_string(std::popcount(mask.s_addr)) + ", broadcast " +
                       dotted(broadcast);
    if (!(flags & IFF_RUNNING))
        line += "; no link (cable, or the other end down?)";
    return line;
}

// -1 when it cannot be read.
int read_number(const std::string &path)
{
    std::ifstream in(path);
    int value = -1;
    in >> value;
    return in ? value : -1;
}

// The interface the default route leaves by; empty for none.
std::string default_route_interface()
{
    std::ifstream routes("/proc/net/route");
    std::string line;
    std::getline(routes, line); // the header
    while (std::getline(routes, line)) {
        std::istringstream fields(line);
        std::string name, destination, gateway, flags, refs, use, metric, mask;
        if (fields >> name >> destination >> gateway >> flags >> refs >> use >> metric >> mask &&
            destination == "00000000" && mask == "00000000")
            return name;
    }
    return {};
}

} // namespace

void check_interfaces(std::vector<DoctorLine> *lines)
{
    ifaddrs *all = nullptr;
    if (getifaddrs(&all) < 0) {
        lines->push_back({DOCTOR_UNCHECKED,
                          std::string("interfaces: cannot list them: ") + std::strerror(errno)});
        return;
    }
    // In the order the system lists them, each with its IPv4 addresses.
    std::vector<std::string> names;
    std::map<std::string, Interface> interfaces;
    for (const ifaddrs *ifa = all; ifa != nullptr; ifa = ifa->ifa_next) {
        auto [entry, added] = interfaces.try_emplace(ifa->ifa_name);
        if (added)
            names.push_back(ifa->ifa_name);
        entry->second.flags = ifa->ifa_flags;
        if (ifa->ifa_addr != nullptr && ifa->ifa_addr->sa_family == AF_INET)
            entry->second.ipv4.push_back(ifa);
    }
    int used = 0;
    for (const std::string &name : names) {
        const Interface &interface = interfaces[name];
        const std::string left_out = "interface " + name + ": left out: ";
        if (interface.flags & IFF_LOOPBACK)
            continue; // never a way to a device
        // Down or without IPv4, a run never lists it; past that, the run's
        // own rule decides.
        if (!(interface.flags & IFF_UP))
            lines->push_back({DOCTOR_NOTE, left_out + "down (ip link set " + name + " up)"});
        else if (interface.ipv4.empty())
            lines->push_back({DOCTOR_NOTE, left_out + "no IPv4 address"});
        else if (!is_discover_address(LocalAddress{{}, interface.flags, {}}))
            lines->push_back(
                {DOCTOR_NOTE,
                 left_out + "cannot broadcast (reach devices behind it with --target)"});
        else
            for (const ifaddrs *address : interface.ipv4) {
                lines->push_back({interface.flags & IFF_RUNNING ? DOCTOR_OK : DOCTOR_NOTE,
                                  used_line(name.c_str(), interface.flags, *address)});
                ++used;
            }
    }
    freeifaddrs(all);
    if (used == 0)
        lines->push_back({DOCTOR_PROBLEM, "interfaces: none is up with IPv4 and broadcast, so a "
                                          "run asks through the default route only: bring up "
                                          "the interface the devices are on"});
}

void check_routing(std::vector<DoctorLine> *lines)
{
    const std::vector<LocalAddress> used = run_addresses();
    const std::string default_interface = default_route_interface();
    const int all = read_number("/proc/sys/net/ipv4/conf/all/rp_filter");
    for (const LocalAddress &local : used) {
        const std::string name = local.where.name;
        const int own = read_number("/proc/sys/net/ipv4/conf/" + name + "/rp_filter");
        const std::string what = "reverse-path filter on " + name + ": ";
        if (all < 0 || own < 0) {
            lines->push_back({DOCTOR_UNCHECKED, what + "cannot read its rp_filter setting"});
            continue;
        }
        // The kernel applies the stricter of the two (2, loose, is the larger).
        const int mode = std::max(all, own);
        if (mode != 1) {
            lines->push_back({DOCTOR_OK, what + (mode == 0 ? "off" : "loose")});
        } else if (default_interface == name) {
            lines->push_back({DOCTOR_OK, what + "strict, but the default route leaves by " + name});
        } else {
            lines->push_back(
                {DOCTOR_PROBLEM,
                 what + "strict, and the default route " +
                     (default_interface.empty() ? "is missing" : "leaves by " + default_interface) +
                     ": replies from devices outside " + name +
                     "'s subnet (factory addresses) are dropped; loosen it: sysctl -w "
                     "net.ipv4.conf." +
                     name + ".rp_filter=2"});
        }
    }

    // As a run sends: from each interface's address, or from the wildcard
    // when none can broadcast, which then needs a route.
    std::vector<DiscoverInterface> from = default_discover_interfaces();
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(DISCOVER_PORT);
    to.sin_addr.s_addr = htonl(INADDR_BROADCAST);
    for (const DiscoverInterface &where : from) {
        const std::string source = is_wildcard(where) ? "any address" : where.name;
        FdGuard sock(open_discover_socket(&where.addr, 0));
        // Connecting a datagram socket sends nothing; it only looks up the route.
        if (sock.get() >= 0 &&
            connect(sock.get(), reinterpret_cast<const sockaddr *>(&to), sizeof(to)) == 0)
            continue;
        lines->push_back(
            {DOCTOR_PROBLEM, "limited broadcast: cannot send to 255.255.255.255 from " + source +
                                 ": " + std::strerror(errno) +
                                 "; nothing is sent: bring up the interface the devices are on, "
                                 "or give the host a default route"});
        return;
    }
    lines->push_back({DOCTOR_OK, "limited broadcast: routed from every address a run uses"});
}
