// One discovery run: requests out on every interface, replies collected from
// all of them until the network has been silent for 2 seconds.
#include "discover_run.h"
#include "report.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <ifaddrs.h>
#include <poll.h>
#include <sys/socket.h>
#include <unordered_map>

int list_discover_interfaces(DiscoverInterface *out, int max)
{
    ifaddrs *all = nullptr;
    if (getifaddrs(&all) < 0) {
        report_error("list_discover_interfaces: getifaddrs: %s\n", std::strerror(errno));
        return -1;
    }
    int count = 0;
    for (const ifaddrs *ifa = all; ifa != nullptr && count < max; ifa = ifa->ifa_next) {
        if (ifa->ifa_addr == nullptr || ifa->ifa_addr->sa_family != AF_INET)
            continue;
        const unsigned flags = ifa->ifa_flags;
        if (!(flags & IFF_UP) || !(flags & IFF_BROADCAST) || (flags & IFF_LOOPBACK))
            continue;
        DiscoverInterface &item = out[count++];
        std::memset(&item, 0, sizeof(item));
        std::strncpy(item.name, ifa->ifa_name, sizeof(item.name) - 1);
        item.addr = reinterpret_cast<const sockaddr_in *>(ifa->ifa_addr)->sin_addr;
    }
    freeifaddrs(all);
    return count;
}

int default_discover_interfaces(DiscoverInterface *out, int max)
{
    int count = list_discover_interfaces(out, max);
    if (count > 0)
        return count;
    std::memset(&out[0], 0, sizeof(out[0]));
    out[0].addr.s_addr = INADDR_ANY;
    return 1;
}

namespace
{

using Clock = std::chrono::steady_clock;

constexpr auto silence_timeout = std::chrono::seconds(2);
// How often a waiting run looks at its sink's stop request.
constexpr int stop_poll_ms = 100;
// Thousands of devices answering at once overflow the default receive buffer.
constexpr int receive_buffer_bytes = 8 << 20;

void enlarge_receive_buffer(int sock)
{
    int size = receive_buffer_bytes;
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

// Opens a socket per interface and sends the three requests on each; an
// interface that fails either step is left out. Returns how many remain,
// with their sockets and interfaces moved to the front.
int start_requests(const DiscoverInterface *interfaces, int count,
                   const unsigned char session_id[2], FdGuard *socks, DiscoverInterface *used)
{
    int open = 0;
    for (int i = 0; i < count && open < MAX_DISCOVER_INTERFACES; ++i) {
        FdGuard sock(set_discover_socket(&interfaces[i].addr));
        if (sock.get() < 0)
            continue;
        enlarge_receive_buffer(sock.get());
        socks[open] = std::move(sock);
        used[open++] = interfaces[i];
    }
    for (int round = 0; round < 3; ++round) {
        if (round > 0)
            usleep(200);
        for (int i = 0; i < open;) {
            if (send_discover(socks[i].get(), session_id) == 0) {
                ++i;
                continue;
            }
            --open;
            socks[i] = std::move(socks[open]);
            used[i] = used[open];
        }
    }
    return open;
}

} // namespace

int discover_run(const DiscoverInterface *interfaces, int count, DiscoverSink *sink)
{
    unsigned char session_id[2];
    fill_session_id(session_id);

    FdGuard socks[MAX_DISCOVER_INTERFACES];
    DiscoverInterface used[MAX_DISCOVER_INTERFACES];
    const int open = start_requests(interfaces, count, session_id, socks, used);
    if (open == 0)
        return -1;

    pollfd fds[MAX_DISCOVER_INTERFACES];
    int listening = open;
    for (int i = 0; i < open; ++i)
        fds[i] = pollfd{socks[i].get(), POLLIN, 0};

    // The MAC listed under each address, so a skipped reply can name it.
    std::unordered_map<uint32_t, ether_addr> seen;
    auto silent_until = Clock::now() + silence_timeout;
    while (!sink->stop_requested()) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(silent_until - Clock::now());
        if (left.count() <= 0) {
            report_error("read_discover_packet: timeout\n");
            break;
        }
        int ready = poll(fds, static_cast<nfds_t>(open),
                         static_cast<int>(std::min<long>(left.count(), stop_poll_ms)));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0) {
            report_error("discover_run: poll: %s\n", std::strerror(errno));
            break;
        }
        if (ready == 0)
            continue;
        silent_until = Clock::now() + silence_timeout;
        for (int i = 0; i < open; ++i) {
            if (fds[i].revents == 0)
                continue;
            DiscoverEntry entry;
            int got = read_discover_reply(fds[i].fd, session_id, &entry);
            if (got < 0) {
                // A receive error ends collection on that interface only.
                fds[i].fd = -1;
                if (--listening == 0)
                    return 0;
                continue;
            }
            if (got == 0)
                continue;
            auto [listed, added] = seen.try_emplace(entry.ipaddr.s_addr, entry.mac);
            if (!added) {
                report_error("skipping duplicate or conflicting device on address %d\n",
                             address_as_logged(entry.ipaddr));
                sink->skipped(entry, listed->second, used[i]);
                continue;
            }
            sink->found(entry, used[i]);
        }
    }
    return 0;
}
