// SPDX-License-Identifier: GPL-3.0-or-later
// One discovery run: requests out on every interface, replies collected from
// all of them until no new device has answered for 2 seconds.
#include "discover_run.h"
#include "report.h"
#include "text.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <ifaddrs.h>
#include <poll.h>
#include <sys/socket.h>
#include <unordered_map>
#include <unordered_set>

int list_local_addresses(std::vector<LocalAddress> *out)
{
    ifaddrs *all = nullptr;
    if (getifaddrs(&all) < 0) {
        report_error("list_local_addresses: getifaddrs: %s\n", std::strerror(errno));
        return -1;
    }
    int count = 0;
    for (const ifaddrs *ifa = all; ifa != nullptr; ifa = ifa->ifa_next) {
        if (ifa->ifa_addr == nullptr || ifa->ifa_addr->sa_family != AF_INET ||
            !(ifa->ifa_flags & IFF_UP))
            continue;
        LocalAddress local{};
        std::strncpy(local.where.name, ifa->ifa_name, sizeof(local.where.name) - 1);
        local.where.addr = reinterpret_cast<const sockaddr_in *>(ifa->ifa_addr)->sin_addr;
        local.flags = ifa->ifa_flags;
        if (ifa->ifa_netmask != nullptr && ifa->ifa_netmask->sa_family == AF_INET)
            local.netmask = reinterpret_cast<const sockaddr_in *>(ifa->ifa_netmask)->sin_addr;
        out->push_back(local);
        ++count;
    }
    freeifaddrs(all);
    return count;
}

int list_discover_interfaces(std::vector<DiscoverInterface> *out)
{
    std::vector<LocalAddress> all;
    if (list_local_addresses(&all) < 0)
        return -1;
    int count = 0;
    for (const LocalAddress &local : all) {
        if (is_discover_address(local)) {
            out->push_back(local.where);
            ++count;
        }
    }
    return count;
}

std::vector<DiscoverInterface> default_discover_interfaces()
{
    std::vector<DiscoverInterface> interfaces;
    if (list_discover_interfaces(&interfaces) <= 0) {
        interfaces.clear();
        DiscoverInterface any{};
        any.addr.s_addr = htonl(INADDR_ANY);
        interfaces.push_back(any);
    }
    return interfaces;
}

namespace
{

using Clock = std::chrono::steady_clock;

// How often a waiting run looks at its sink's stop request.
constexpr int STOP_POLL_MS = 100;
// The pause between the three requests of a run.
constexpr useconds_t REQUEST_GAP_US = 200;
// Thousands of devices answering at once overflow the default receive buffer.
constexpr int RECEIVE_BUFFER_BYTES = 8 << 20;

void enlarge_receive_buffer(int sock)
{
    int size = RECEIVE_BUFFER_BYTES;
    // The forced form passes the system limit but needs privileges; the plain
    // one is capped at that limit, which is still better than the default.
    if (setsockopt(sock, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof(size)) < 0)
        setsockopt(sock, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
}

// The address as it appears in the skipping line: its bytes, as stored, read
// as one little-endian signed number.
int address_as_logged(in_addr address)
{
    unsigned char b[4];
    std::memcpy(b, &address, sizeof(b));
    uint32_t value = b[0] | b[1] << 8 | b[2] << 16 | static_cast<uint32_t>(b[3]) << 24;
    return static_cast<int32_t>(value);
}

// One interface of a run: the socket its requests leave from and that hears
// replies to its own address, and the one that hears replies sent to the
// limited broadcast address at the same port.
struct Listener {
    FdGuard request;
    FdGuard broadcast;
    DiscoverInterface where;
    unsigned ifindex;
    int index; // in the run's interfaces
};

// The local address the system's route to target leaves from; 0.0.0.0 when
// it has none.
in_addr route_source(in_addr target)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(DISCOVER_PORT);
    address.sin_addr = target;
    socklen_t length = sizeof(address);
    FdGuard probe(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP));
    int on = 1; // a local subnet's broadcast address is a target too
    // Connecting a datagram socket sends nothing; it only picks the route.
    if (probe.get() < 0 || setsockopt(probe.get(), SOL_SOCKET, SO_BROADCAST, &on, sizeof(on)) < 0 ||
        connect(probe.get(), reinterpret_cast<const sockaddr *>(&address), sizeof(address)) < 0 ||
        getsockname(probe.get(), reinterpret_cast<sockaddr *>(&address), &length) < 0)
        return in_addr{};
    return address.sin_addr;
}

// The socket a target's requests leave from: the interface of its route, or
// a wildcard one, or the first; one socket per target, so a device answers
// each request once.
const Listener *listener_for(in_addr target, const std::vector<Listener> &listeners)
{
    const in_addr source = route_source(target);
    for (const Listener &listener : listeners)
        if (!is_wildcard(listener.where) && listener.where.addr.s_addr == source.s_addr)
            return &listener;
    for (const Listener &listener : listeners)
        if (is_wildcard(listener.where))
            return &listener;
    return listeners.empty() ? nullptr : &listeners.front();
}

// The targets of a run, looked up for each reply however many there are.
using TargetSet = std::unordered_set<uint32_t>;

// The target that reached the device whose reply came from source: its own
// address, or the broadcast address of the subnet it reports; 0.0.0.0 for
// none.
in_addr target_of(in_addr source, const DiscoverEntry &reply, const TargetSet &targets)
{
    const uint32_t broadcast =
        reply.netmask.s_addr != 0 ? source.s_addr | ~reply.netmask.s_addr : source.s_addr;
    for (const uint32_t address : {source.s_addr, broadcast})
        if (targets.count(address) != 0)
            return in_addr{address};
    return in_addr{};
}

// Opens the sockets of each interface and sends the three requests on each,
// and to every target; an interface that fails either step is left out.
std::vector<Listener> start_requests(const DiscoverInterface *interfaces, int count,
                                     const unsigned char session_id[2],
                                     const DiscoverRunOptions &options)
{
    DiscoverInterfaceStats unused{};
    const auto stats = [&](const Listener &listener) -> DiscoverInterfaceStats & {
        return options.stats != nullptr ? options.stats[listener.index] : unused;
    };
    std::vector<Listener> listeners;
    for (int i = 0; i < count; ++i) {
        FdGuard sock(open_discover_socket(&interfaces[i].addr, options.source_port));
        if (sock.get() < 0)
            continue;
        enlarge_receive_buffer(sock.get());
        FdGuard broadcast(open_broadcast_listener(sock.get()));
        if (broadcast.get() >= 0)
            enlarge_receive_buffer(broadcast.get());
        listeners.push_back({std::move(sock), std::move(broadcast), interfaces[i],
                             is_wildcard(interfaces[i]) ? 0 : if_nametoindex(interfaces[i].name),
                             i});
    }
    // Each target's route is looked up once, not once a round, as a run may
    // ask thousands of remembered devices; again only when an interface
    // left the run.
    std::vector<std::pair<in_addr, const Listener *>> routed;
    size_t routed_for = 0;
    for (int round = 0; round < 3; ++round) {
        if (round > 0)
            usleep(REQUEST_GAP_US);
        if (!options.targets_only)
            std::erase_if(listeners, [&](const Listener &listener) {
                if (send_discover(listener.request.get(), session_id) != 0)
                    return true;
                ++stats(listener).requests_sent;
                return false;
            });
        if (routed_for != listeners.size()) {
            routed.clear();
            routed_for = listeners.size();
            for (int t = 0; t < options.target_count; ++t)
                if (const Listener *listener = listener_for(options.targets[t], listeners))
                    routed.emplace_back(options.targets[t], listener);
        }
        // A target that cannot be reached costs its own requests only.
        for (const auto &[target, listener] : routed)
            if (send_discover_to(listener->request.get(), session_id, target) == 0)
                ++stats(*listener).requests_sent;
    }
    return listeners;
}

// The devices reported so far in a run, by the address they report: each
// one's MAC and the address its reply came from, which tells a clone that
// copies both apart.
class SeenDevices
{
  public:
    // True when the device is new; *address_listed tells whether another
    // device, or this one, was heard at the address before.
    bool add(in_addr address, const ether_addr &mac, in_addr source, bool *address_listed)
    {
        std::vector<Device> &devices = by_address_[address.s_addr];
        *address_listed = !devices.empty();
        for (const Device &known : devices)
            if (same_mac(known.mac, mac) && known.source.s_addr == source.s_addr)
                return false;
        devices.push_back({mac, source});
        return true;
    }

  private:
    struct Device {
        ether_addr mac;
        in_addr source;
    };
    std::unordered_map<uint32_t, std::vector<Device>> by_address_;
};

} // namespace

int discover_run(const DiscoverInterface *interfaces, int count, DiscoverSink *sink, int max_run_ms)
{
    DiscoverRunOptions options{};
    options.max_run_ms = max_run_ms;
    return discover_run_with(interfaces, count, sink, options);
}

int discover_run_with(const DiscoverInterface *interfaces, int count, DiscoverSink *sink,
                      const DiscoverRunOptions &options)
{
    const auto started = Clock::now();
    const int max_run_ms = options.max_run_ms > 0 ? options.max_run_ms : DEFAULT_MAX_RUN_MS;
    unsigned char session_id[2];
    fill_session_id(session_id);

    std::vector<Listener> listeners = start_requests(interfaces, count, session_id, options);
    if (listeners.empty())
        return -1;

    // Two entries per interface: its request socket, then its broadcast one.
    std::vector<pollfd> fds;
    for (const Listener &listener : listeners) {
        fds.push_back({listener.request.get(), POLLIN, 0});
        fds.push_back({listener.broadcast.get(), POLLIN, 0});
    }
    int listening = static_cast<int>(
        std::count_if(fds.begin(), fds.end(), [](const pollfd &fd) { return fd.fd >= 0; }));

    TargetSet targets;
    for (int t = 0; t < options.target_count; ++t)
        targets.insert(options.targets[t].s_addr);
    SeenDevices seen;
    const auto run_until = started + std::chrono::milliseconds(max_run_ms);
    auto silent_until = Clock::now() + std::chrono::milliseconds(RUN_SILENCE_MS);
    while (!sink->stop_requested()) {
        const auto now = Clock::now();
        if (now >= run_until) {
            report_error("discover_run: stopped at the run's limit of %d ms\n", max_run_ms);
            break;
        }
        if (now >= silent_until) {
            report_error("read_discover_packet: timeout\n");
            break;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::min(silent_until, run_until) - now);
        int ready = poll(fds.data(), fds.size(),
                         static_cast<int>(std::min<long>(left.count() + 1, STOP_POLL_MS)));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0) {
            report_error("discover_run: poll: %s\n", std::strerror(errno));
            break;
        }
        for (size_t i = 0; i < fds.size(); ++i) {
            if (fds[i].revents == 0)
                continue;
            const bool broadcast = i % 2 == 1;
            const Listener *heard_by = &listeners[i / 2];
            DiscoverEntry entry;
            sockaddr_in from{};
            int ifindex = 0;
            int got =
                receive_discover_packet(fds[i].fd, &entry, &from, broadcast ? &ifindex : nullptr);
            if (got < 0) {
                // A receive error ends collection on that socket only.
                fds[i].fd = -1;
                if (--listening == 0)
                    return 0;
                continue;
            }
            // A reply sent to the broadcast address belongs to the interface
            // it arrived on.
            if (broadcast && ifindex != 0 && heard_by->ifindex != static_cast<unsigned>(ifindex))
                for (const Listener &listener : listeners)
                    if (listener.ifindex == static_cast<unsigned>(ifindex))
                        heard_by = &listener;
            DiscoverInterfaceStats *stats =
                options.stats != nullptr ? &options.stats[heard_by->index] : nullptr;
            if (stats != nullptr)
                ++stats->datagrams_received;
            if (got == 0)
                continue;
            const in_addr target = target_of(from.sin_addr, entry, targets);
            const in_addr ack_to =
                target.s_addr != 0 ? from.sin_addr : in_addr{htonl(INADDR_BROADCAST)};
            if (accept_discover_reply_to(heard_by->request.get(), session_id, entry, ack_to) != 1)
                continue;
            if (stats != nullptr)
                ++stats->valid_replies;
            bool address_listed = false;
            const bool added = seen.add(entry.ipaddr, entry.mac, from.sin_addr, &address_listed);
            if (address_listed)
                report_error("skipping duplicate or conflicting device on address %d\n",
                             address_as_logged(entry.ipaddr));
            if (!added)
                continue;
            // Only a device not heard before keeps the run going, so a
            // chattering peer cannot.
            silent_until = Clock::now() + std::chrono::milliseconds(RUN_SILENCE_MS);
            sink->found({entry, heard_by->where, from.sin_addr, target});
        }
    }
    return 0;
}

ExchangeOptions exchange_options_for(const DiscoveredDevice &device, uint16_t source_port)
{
    ExchangeOptions options{};
    options.device = device.source;
    options.unicast = device.target.s_addr != INADDR_ANY;
    options.source_port = source_port;
    return options;
}

void add_targets(std::vector<in_addr> *targets, const in_addr *more, int count)
{
    std::unordered_set<uint32_t> named;
    for (const in_addr &target : *targets)
        named.insert(target.s_addr);
    for (int i = 0; i < count; ++i)
        if (more[i].s_addr != INADDR_ANY && named.insert(more[i].s_addr).second)
            targets->push_back(more[i]);
}
