#include "select_interfaces.h"

#include "values.h"

#include <cstdio>
#include <cstring>
#include <ifaddrs.h>
#include <memory>
#include <net/if.h>

namespace
{

struct IfaddrsFree {
    void operator()(ifaddrs *list) const { freeifaddrs(list); }
};
using IfaddrsList = std::unique_ptr<ifaddrs, IfaddrsFree>;

IfaddrsList local_addresses()
{
    ifaddrs *list = nullptr;
    if (getifaddrs(&list) < 0) {
        print_cli_error(std::string("cannot list the local addresses: ") + std::strerror(errno));
        return nullptr;
    }
    return IfaddrsList(list);
}

const in_addr *ipv4_of(const ifaddrs *a)
{
    if (a->ifa_addr == nullptr || a->ifa_addr->sa_family != AF_INET || !(a->ifa_flags & IFF_UP))
        return nullptr;
    return &reinterpret_cast<const sockaddr_in *>(a->ifa_addr)->sin_addr;
}

void set_interface(DiscoverInterface *out, const char *name, in_addr addr)
{
    std::snprintf(out->name, sizeof(out->name), "%s", name);
    out->addr = addr;
}

int by_name(const std::string &name, std::vector<DiscoverInterface> *out)
{
    IfaddrsList list = local_addresses();
    if (list == nullptr)
        return -1;
    int count = 0;
    for (const ifaddrs *a = list.get(); a != nullptr; a = a->ifa_next) {
        const in_addr *addr = ipv4_of(a);
        if (addr != nullptr && name == a->ifa_name) {
            set_interface(&out->emplace_back(), a->ifa_name, *addr);
            ++count;
        }
    }
    if (count == 0)
        print_cli_error("--interface '" + name +
                        "': no interface of that name is up with an IPv4 address; nothing sent");
    return count == 0 ? -1 : count;
}

int by_address(const std::string &text, std::vector<DiscoverInterface> *out)
{
    in_addr wanted;
    if (!parse_ipv4(text, &wanted)) {
        print_cli_error("bad --bind address '" + text +
                        "': expected a dotted IPv4 address; nothing sent");
        return -1;
    }
    if (wanted.s_addr == INADDR_ANY) {
        set_interface(&out->emplace_back(), "", wanted);
        return 1;
    }
    IfaddrsList list = local_addresses();
    if (list == nullptr)
        return -1;
    for (const ifaddrs *a = list.get(); a != nullptr; a = a->ifa_next) {
        const in_addr *addr = ipv4_of(a);
        if (addr != nullptr && addr->s_addr == wanted.s_addr) {
            set_interface(&out->emplace_back(), a->ifa_name, wanted);
            return 1;
        }
    }
    print_cli_error("--bind '" + text +
                    "': no interface that is up has this address; nothing sent");
    return -1;
}

} // namespace

int select_interfaces(const CliCommand &command, std::vector<DiscoverInterface> *out)
{
    if (!command.interface_name.empty())
        return by_name(command.interface_name, out);
    if (!command.bind.empty())
        return by_address(command.bind, out);
    *out = default_discover_interfaces();
    if (out->size() == 1 && is_wildcard(out->front()))
        print_cli_error("no interface that can broadcast; asking through the default route only");
    return static_cast<int>(out->size());
}
