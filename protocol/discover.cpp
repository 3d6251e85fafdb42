// SPDX-License-Identifier: GPL-3.0-or-later
// The exchanges with the devices: the discovery socket, discover requests and
// replies, and the setup and install exchanges.
#include "discover.h"
#include "checks.h"
#include "report.h"
#include "text.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <linux/sockios.h>
#include <linux/tcp.h>
#include <mutex>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

int set_discover_socket(const in_addr *local)
{
    return open_discover_socket(local, 0);
}

int open_discover_socket(const in_addr *local, uint16_t port)
{
    // Close-on-exec, so that a browser started by the window does not keep
    // the discovery port of a run open.
    FdGuard sock(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP));
    if (sock.get() < 0) {
        report_error("set_discover_socket: socket: %s\n", std::strerror(errno));
        return -1;
    }
    int on = 1;
    if (setsockopt(sock.get(), SOL_SOCKET, SO_BROADCAST, &on, sizeof(on)) < 0) {
        report_error("set_discover_socket: setsockopt(SO_BROADCAST): %s\n", std::strerror(errno));
        return -1;
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr = *local;
    if (bind(sock.get(), reinterpret_cast<const sockaddr *>(&addr), sizeof(addr)) < 0) {
        report_error("discover_set_socket: bind(): %s\n", std::strerror(errno));
        return -1;
    }
    timeval timeout{2, 0};
    if (setsockopt(sock.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout)) < 0) {
        report_error("set_discover_socket: setsockopt(SO_RCVTIMEO): %s\n", std::strerror(errno));
        return -1;
    }
    return sock.release();
}

void fill_session_id(unsigned char session_id[2])
{
    // Seeded once per process: with the generator's fixed start, two windows
    // or scripts on one LAN would use the same identifiers and take each
    // other's replies.
    static std::once_flag seeded;
    std::call_once(seeded, [] {
        unsigned seed = 0;
        if (getrandom(&seed, sizeof(seed), GRND_NONBLOCK) != sizeof(seed))
            seed = static_cast<unsigned>(std::time(nullptr)) ^ static_cast<unsigned>(getpid())
                                                                   << 16;
        std::srand(seed);
    });
    session_id[0] = static_cast<unsigned char>(std::rand() % 256);
    session_id[1] = static_cast<unsigned char>(std::rand() % 256);
}

static int send_header_only(int sock, int type, const unsigned char session_id[2], in_addr to)
{
    DiscoverEntry entry;
    reset_discover_packet(&entry);
    entry.type = type;
    entry.session_id[0] = session_id[0];
    entry.session_id[1] = session_id[1];
    if (to.s_addr == htonl(INADDR_BROADCAST))
        return broadcast_discover_packet(sock, DISCOVER_PORT, &entry);
    return send_discover_packet_to(sock, to, DISCOVER_PORT, &entry);
}

int send_discover(int sock, const unsigned char session_id[2])
{
    return send_header_only(sock, DISCOVER_REQUEST, session_id, in_addr{htonl(INADDR_BROADCAST)});
}

int send_discover_to(int sock, const unsigned char session_id[2], in_addr to)
{
    return send_header_only(sock, DISCOVER_REQUEST, session_id, to);
}

int send_discover_reply_ack(int sock, const unsigned char session_id[2])
{
    return send_header_only(sock, DISCOVER_ACK, session_id, in_addr{htonl(INADDR_BROADCAST)});
}

int receive_discover_packet(int sock, DiscoverEntry *entry, sockaddr_in *from, int *ifindex)
{
    unsigned char buffer[MAX_PACKET_LEN];
    iovec iov{buffer, sizeof(buffer)};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))];
    msghdr message{};
    message.msg_name = from;
    message.msg_namelen = from != nullptr ? sizeof(sockaddr_in) : 0;
    message.msg_iov = &iov;
    message.msg_iovlen = 1;
    if (ifindex != nullptr) {
        *ifindex = 0;
        message.msg_control = control;
        message.msg_controllen = sizeof(control);
    }
    ssize_t got = recvmsg(sock, &message, 0);
    if (got < 0) {
        if (errno == EAGAIN)
            report_error("read_discover_packet: timeout\n");
        else
            report_error("read_discover_packet: error reading incoming packet: %s\n",
                         std::strerror(errno));
        return -1;
    }
    if (ifindex != nullptr) {
        for (cmsghdr *c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
            if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
                in_pktinfo info;
                std::memcpy(&info, CMSG_DATA(c), sizeof(info));
                *ifindex = info.ipi_ifindex;
            }
        }
    }
    if (parse_discover_packet(buffer, static_cast<int>(got), entry) != 0) {
        report_error("read_discover_packet: got b0rked packet\n");
        return 0;
    }
    return 1;
}

int read_discover_packet(int sock, DiscoverEntry *entry, sockaddr_in *from)
{
    return receive_discover_packet(sock, entry, from, nullptr);
}

static bool same_session(const DiscoverEntry &entry, const unsigned char session_id[2])
{
    return entry.session_id[0] == session_id[0] && entry.session_id[1] == session_id[1];
}

int accept_discover_reply(int ack_sock, const unsigned char session_id[2],
                          const DiscoverEntry &reply)
{
    return accept_discover_reply_to(ack_sock, session_id, reply, in_addr{htonl(INADDR_BROADCAST)});
}

int accept_discover_reply_to(int ack_sock, const unsigned char session_id[2],
                             const DiscoverEntry &reply, in_addr ack_to)
{
    if (reply.type != DISCOVER_REPLY) {
        report_error("read_discover_reply: this doesn't look like a discover reply at all\n");
        return 0;
    }
    if (!same_session(reply, session_id)) {
        report_error("read_discover_reply: this isn't the reply we want\n");
        return 0;
    }
    report_error("read_discover_reply: we got a reply :-)\n");
    send_header_only(ack_sock, DISCOVER_ACK, session_id, ack_to);
    return 1;
}

int read_discover_reply(int sock, const unsigned char session_id[2], DiscoverEntry *entry)
{
    DiscoverEntry reply;
    reset_discover_packet(&reply);
    int got = read_discover_packet(sock, &reply, nullptr);
    if (got != 1)
        return got;
    got = accept_discover_reply(sock, session_id, reply);
    if (got == 1 && entry != nullptr)
        *entry = reply;
    return got;
}

int open_broadcast_listener(int sock)
{
    sockaddr_in bound{};
    socklen_t length = sizeof(bound);
    if (getsockname(sock, reinterpret_cast<sockaddr *>(&bound), &length) < 0 ||
        bound.sin_addr.s_addr == htonl(INADDR_ANY))
        return -1;
    FdGuard listener(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP));
    int on = 1;
    bound.sin_addr.s_addr = htonl(INADDR_BROADCAST);
    if (listener.get() < 0 ||
        setsockopt(listener.get(), IPPROTO_IP, IP_PKTINFO, &on, sizeof(on)) < 0 ||
        bind(listener.get(), reinterpret_cast<const sockaddr *>(&bound), sizeof(bound)) < 0) {
        report_error("open_broadcast_listener: %s\n", std::strerror(errno));
        return -1;
    }
    return listener.release();
}

void print_discover_entry(const DiscoverEntry *entry)
{
    char mac[MAC_TEXT_SIZE];
    char ip[INET_ADDRSTRLEN];
    char mask[INET_ADDRSTRLEN];
    report_result("*** Found device ***\n");
    report_result("firmware:\t%s\n", entry->firmware);
    report_result("hostname:\t%s\n", entry->hostname);
    report_result("macaddress:\t%s\n", format_mac(entry->mac, MacForm::Short, mac));
    report_result("ipaddress:\t%s\n", format_ipv4(entry->ipaddr, ip));
    report_result("netmask:\t%s\n", format_ipv4(entry->netmask, mask));
}

namespace
{

using Clock = std::chrono::steady_clock;

// How often a wait looks at the caller's stop request.
constexpr int STOP_POLL_MS = 100;
// How often the end of an upload looks whether the device has taken it all.
constexpr int DRAIN_POLL_MS = 10;
// The device opens its install socket only after it has replied.
constexpr int INSTALL_SOCKET_GRACE_MS = 1000;

int64_t now_ms()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch())
        .count();
}

// One exchange in progress: what the caller asked for and what happened.
struct Exchange {
    const char *name; // "do_setup" or "do_install", for the lines
    ExchangeOptions options;
    ExchangeReport *report;

    bool stop_requested() const
    {
        return options.stop_requested != nullptr && options.stop_requested(options.context);
    }
    // Marks where the exchange ended, with the errno of the call that failed.
    int fail(ExchangeStage stage, int error)
    {
        report->stage = stage;
        report->error = error;
        return -1;
    }
};

enum WaitResult { WAIT_READY, WAIT_TIMEOUT, WAIT_CANCELLED, WAIT_FAILED };

// Polls fds until one is ready or the deadline passes, looking at the stop
// request in between.
WaitResult wait_until(pollfd *fds, int count, int64_t deadline, const Exchange &exchange)
{
    for (;;) {
        if (exchange.stop_requested())
            return WAIT_CANCELLED;
        const int64_t left = deadline - now_ms();
        if (left <= 0)
            return WAIT_TIMEOUT;
        int ready = poll(fds, static_cast<nfds_t>(count),
                         static_cast<int>(std::min<int64_t>(left, STOP_POLL_MS)));
        if (ready > 0)
            return WAIT_READY;
        if (ready < 0 && errno != EINTR)
            return WAIT_FAILED;
    }
}

// Waits without a descriptor, still answering a stop request.
bool pause_for(int ms, const Exchange &exchange)
{
    return wait_until(nullptr, 0, now_ms() + ms, exchange) == WAIT_TIMEOUT;
}

int cancelled(Exchange &exchange)
{
    if (exchange.report->image_size != 0) // an upload under way
        report_error("do_install: cancelled after %llu of %llu bytes\n",
                     static_cast<unsigned long long>(exchange.report->acked),
                     static_cast<unsigned long long>(exchange.report->image_size));
    else
        report_error("%s: cancelled\n", exchange.name);
    return exchange.fail(STAGE_CANCELLED, ECANCELED);
}

// The reply to request: right type and session, from the device's address
// when the caller knows it, and naming the target when it names a device.
bool is_reply_to(const DiscoverEntry &reply, const sockaddr_in &from, const DiscoverEntry &request,
                 int reply_type, const ExchangeOptions &options)
{
    static const ether_addr no_mac{};
    if (reply.type != reply_type || !same_session(reply, request.session_id))
        return false;
    if (options.device.s_addr != 0 && from.sin_addr.s_addr != options.device.s_addr)
        return false;
    return same_mac(reply.mac, no_mac) || same_mac(reply.mac, request.mac);
}

// Sends request (to the limited broadcast, or to the device alone when it is
// behind a router) on a fresh discovery socket and waits, at most
// REPLY_WAIT_MS however much else arrives, for its reply; other datagrams
// are passed over silently. Fills reply and the address it came from.
int exchange_request(const in_addr *local, const DiscoverEntry &request, int reply_type,
                     DiscoverEntry *reply, sockaddr_in *from, Exchange &exchange)
{
    // A stop asked for before the request keeps it from going out at all.
    if (exchange.stop_requested())
        return cancelled(exchange);
    FdGuard sock(open_discover_socket(local, exchange.options.source_port));
    if (sock.get() < 0)
        return exchange.fail(STAGE_SOCKET, errno);
    FdGuard broadcast(open_broadcast_listener(sock.get()));
    // A failed send shows as its own line and then as the time-out.
    if (exchange.options.unicast != 0 && exchange.options.device.s_addr != INADDR_ANY)
        send_discover_packet_to(sock.get(), exchange.options.device, DISCOVER_PORT, &request);
    else
        broadcast_discover_packet(sock.get(), DISCOVER_PORT, &request);
    pollfd fds[2] = {{sock.get(), POLLIN, 0}, {broadcast.get(), POLLIN, 0}};
    const int64_t deadline = now_ms() + REPLY_WAIT_MS;
    for (bool matched = false; !matched;) {
        switch (wait_until(fds, 2, deadline, exchange)) {
        case WAIT_READY:
            break;
        case WAIT_TIMEOUT:
            report_error("read_discover_packet: timeout\n");
            return exchange.fail(STAGE_NO_REPLY, EAGAIN);
        case WAIT_CANCELLED:
            return cancelled(exchange);
        case WAIT_FAILED:
            report_error("%s: poll: %s\n", exchange.name, std::strerror(errno));
            return exchange.fail(STAGE_NO_REPLY, errno);
        }
        for (const pollfd &fd : fds) {
            if (matched || fd.revents == 0)
                continue;
            reset_discover_packet(reply);
            int got = read_discover_packet(fd.fd, reply, from);
            if (got < 0)
                return exchange.fail(STAGE_NO_REPLY, errno);
            matched = got == 1 && is_reply_to(*reply, *from, request, reply_type, exchange.options);
        }
    }
    char address[INET_ADDRSTRLEN];
    format_ipv4(from->sin_addr, address);
    exchange.report->device = from->sin_addr;
    exchange.report->result = reply->result;
    report_result("got reply from %s: %s\n", address,
                  reply_type == SETUP_REPLY ? setup_result_word(reply->result)
                                            : install_result_word(reply->result));
    if (reply->result != RESULT_SUCCESS)
        return exchange.fail(STAGE_REFUSED, 0);
    return 0;
}

// Refuses a request that would name no single device.
int start_request(DiscoverEntry *request, int type, const ether_addr *mac, Exchange &exchange)
{
    if (const char *problem = check_device_mac(*mac)) {
        char text[MAC_TEXT_SIZE];
        report_error("%s: target MAC %s: %s; nothing sent\n", exchange.name,
                     format_mac(*mac, MacForm::Short, text), problem);
        return exchange.fail(STAGE_INPUT, EINVAL);
    }
    reset_discover_packet(request);
    request->type = type;
    fill_session_id(request->session_id);
    request->mac = *mac;
    return 0;
}

Exchange start_exchange(const char *name, const ExchangeOptions *options, ExchangeReport *report)
{
    Exchange exchange{name, options != nullptr ? *options : ExchangeOptions{}, report};
    if (exchange.options.stall_timeout_ms <= 0)
        exchange.options.stall_timeout_ms = DEFAULT_STALL_TIMEOUT_MS;
    if (exchange.options.connect_timeout_ms <= 0)
        exchange.options.connect_timeout_ms = DEFAULT_CONNECT_TIMEOUT_MS;
    *report = ExchangeReport{};
    report->stage = STAGE_SOCKET;
    return exchange;
}

// Connects the TCP socket to the device's install port within the deadline.
int connect_install_port(int sock, in_addr device, Exchange &exchange)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(INSTALL_PORT);
    address.sin_addr = device;
    int error = 0;
    if (connect(sock, reinterpret_cast<const sockaddr *>(&address), sizeof(address)) < 0) {
        error = errno;
        if (error == EINPROGRESS) {
            pollfd fd{sock, POLLOUT, 0};
            switch (wait_until(&fd, 1, now_ms() + exchange.options.connect_timeout_ms, exchange)) {
            case WAIT_READY: {
                socklen_t length = sizeof(error);
                if (getsockopt(sock, SOL_SOCKET, SO_ERROR, &error, &length) < 0)
                    error = errno;
                break;
            }
            case WAIT_TIMEOUT:
                error = ETIMEDOUT;
                break;
            case WAIT_CANCELLED:
                return cancelled(exchange);
            case WAIT_FAILED:
                error = errno;
                break;
            }
        }
    }
    if (error != 0) {
        report_error("do_install: unable to connect to install socket: %s\n", std::strerror(error));
        return exchange.fail(STAGE_CONNECT, error);
    }
    return 0;
}

// Streams an image to the connected install socket, and knows how much of
// it the device has taken: success means every byte acknowledged and the
// connection closed by the device without a reset.
class Upload
{
  public:
    Upload(int sock, int image, Exchange &exchange)
        : sock_(sock), image_(image), exchange_(exchange), report_(*exchange.report)
    {
        baseline_ = tcp_bytes_acked();
        last_progress_ = now_ms();
    }

    int run(const char *path)
    {
        const uint64_t size = report_.image_size;
        const uint32_t announced = htonl(static_cast<uint32_t>(size));
        ssize_t sent = send(sock_, &announced, sizeof(announced), MSG_NOSIGNAL);
        if (sent < 0) {
            report_error("do_install: unable to send header: send(): %s\n", std::strerror(errno));
            return exchange_.fail(STAGE_UPLOAD, errno);
        }
        if (sent != sizeof(announced)) {
            report_error("do_install: unable to send header (wanted %d bytes, sent %d bytes)\n",
                         static_cast<int>(sizeof(announced)), static_cast<int>(sent));
            return exchange_.fail(STAGE_UPLOAD, 0);
        }
        written_ = sizeof(announced);

        unsigned char buffer[INSTALL_CHUNK];
        uint64_t remaining = size;
        while (remaining != 0) {
            size_t want =
                remaining < sizeof(buffer) ? static_cast<size_t>(remaining) : sizeof(buffer);
            ssize_t got = read(image_, buffer, want);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0) {
                // At the end of a file that shrank there is no errno to tell.
                int error = got < 0 ? errno : ENODATA;
                report_error("do_install: fread(%s) failed: %s\n", path, std::strerror(error));
                return exchange_.fail(STAGE_IMAGE, error);
            }
            if (send_all(buffer, static_cast<size_t>(got)) < 0)
                return -1;
            remaining -= static_cast<uint64_t>(got);
            report_.sent += static_cast<uint64_t>(got);
            if (exchange_.options.progress != nullptr)
                exchange_.options.progress(exchange_.options.context, report_.sent, size);
        }
        return finish();
    }

  private:
    // Bytes of this connection the device acknowledged; the kernel keeps the
    // count after a reset, when the send queue is already gone.
    uint64_t tcp_bytes_acked() const
    {
        tcp_info info{};
        socklen_t length = sizeof(info);
        if (getsockopt(sock_, IPPROTO_TCP, TCP_INFO, &info, &length) < 0 ||
            length < offsetof(tcp_info, tcpi_bytes_acked) + sizeof(info.tcpi_bytes_acked))
            return 0;
        return info.tcpi_bytes_acked;
    }

    // Updates report.acked (image bytes, header not counted); true when the
    // device took more since the last look.
    bool look_at_acks()
    {
        const uint64_t total = std::min(tcp_bytes_acked() - baseline_, written_);
        const uint64_t image = total > 4 ? total - 4 : 0;
        if (image <= report_.acked)
            return false;
        report_.acked = image;
        return true;
    }

    bool stalled()
    {
        if (look_at_acks())
            last_progress_ = now_ms();
        return now_ms() - last_progress_ >= exchange_.options.stall_timeout_ms;
    }

    int stall_failure()
    {
        report_error("do_install: device stopped reading after %llu of %llu bytes\n",
                     static_cast<unsigned long long>(report_.acked),
                     static_cast<unsigned long long>(report_.image_size));
        return exchange_.fail(STAGE_UPLOAD, ETIMEDOUT);
    }

    int broken(int error)
    {
        look_at_acks();
        report_error("do_install: upload failed after %llu of %llu bytes: %s\n",
                     static_cast<unsigned long long>(report_.acked),
                     static_cast<unsigned long long>(report_.image_size), std::strerror(error));
        return exchange_.fail(STAGE_UPLOAD, error);
    }

    // Sends all of data, continuing after partial sends. MSG_NOSIGNAL turns
    // a device that hung up into a failed send instead of a fatal SIGPIPE.
    int send_all(const unsigned char *data, size_t length)
    {
        size_t done = 0;
        while (done < length) {
            ssize_t sent = send(sock_, data + done, length - done, MSG_NOSIGNAL);
            if (sent > 0) {
                done += static_cast<size_t>(sent);
                written_ += static_cast<uint64_t>(sent);
                last_progress_ = now_ms();
                continue;
            }
            if (sent < 0 && errno == EINTR)
                continue;
            if (sent < 0 && errno == EAGAIN) {
                if (stalled())
                    return stall_failure();
                pollfd fd{sock_, POLLOUT, 0};
                if (wait_until(&fd, 1, now_ms() + STOP_POLL_MS, exchange_) == WAIT_CANCELLED)
                    return cancelled(exchange_);
                continue;
            }
            if (sent < 0) {
                const int error = errno;
                look_at_acks();
                report_error("do_install: unable to send data: send(): %s\n", std::strerror(error));
                return exchange_.fail(STAGE_UPLOAD, error);
            }
            report_error("do_install: unable to send data: send got somehow stuck\n");
            return exchange_.fail(STAGE_UPLOAD, 0);
        }
        return 0;
    }

    int pending_error() const
    {
        int error = 0;
        socklen_t length = sizeof(error);
        getsockopt(sock_, SOL_SOCKET, SO_ERROR, &error, &length);
        return error;
    }

    // Waits until the device has acknowledged everything queued, half-closes,
    // and waits for the device to close in turn.
    int finish()
    {
        for (;;) {
            int queued = 0;
            if (ioctl(sock_, SIOCOUTQ, &queued) < 0)
                return broken(errno);
            if (int error = pending_error())
                return broken(error);
            if (queued == 0)
                break;
            if (stalled())
                return stall_failure();
            pollfd fd{sock_, 0, 0}; // woken early only by an error or hang-up
            if (wait_until(&fd, 1, now_ms() + DRAIN_POLL_MS, exchange_) == WAIT_CANCELLED)
                return cancelled(exchange_);
        }
        look_at_acks();
        if (shutdown(sock_, SHUT_WR) < 0)
            return broken(errno);
        const int64_t deadline = now_ms() + exchange_.options.stall_timeout_ms;
        for (;;) {
            pollfd fd{sock_, POLLIN, 0};
            switch (wait_until(&fd, 1, deadline, exchange_)) {
            case WAIT_READY:
                break;
            case WAIT_TIMEOUT:
                // Every byte acknowledged and no reset: taken, though the
                // device keeps its end open.
                return 0;
            case WAIT_CANCELLED:
                return cancelled(exchange_);
            case WAIT_FAILED:
                return broken(errno);
            }
            unsigned char ignored[256];
            ssize_t got = recv(sock_, ignored, sizeof(ignored), MSG_DONTWAIT);
            if (got == 0)
                return 0;
            if (got < 0 && errno != EAGAIN && errno != EINTR)
                return broken(errno);
        }
    }

    int sock_;
    int image_;
    Exchange &exchange_;
    ExchangeReport &report_;
    uint64_t baseline_ = 0;
    uint64_t written_ = 0; // header included
    int64_t last_progress_ = 0;
};

// The one line for an image that cannot be uploaded, before anything is sent.
int image_failure(const char *path, ImageProblem problem, uint64_t size, Exchange &exchange)
{
    const int error = errno;
    switch (problem) {
    case IMAGE_NO_STATUS:
        report_error("do_install: unable to stat image file '%s': %s\n", path,
                     std::strerror(error));
        break;
    case IMAGE_UNREADABLE:
        report_error("do_install: unable to open image file '%s': %s\n", path,
                     std::strerror(error));
        break;
    case IMAGE_NOT_REGULAR:
        report_error("do_install: image file '%s' is not a regular file\n", path);
        return exchange.fail(STAGE_INPUT, 0);
    case IMAGE_TOO_LARGE:
        report_error("do_install: image file '%s' is too large (%llu bytes, at most %u)\n", path,
                     static_cast<unsigned long long>(size), UINT32_MAX);
        return exchange.fail(STAGE_INPUT, EFBIG);
    case IMAGE_OK:
        break;
    }
    return exchange.fail(STAGE_INPUT, error);
}

} // namespace

int do_setup_report(const in_addr *local, const ether_addr *mac, const in_addr *ipaddr,
                    const in_addr *netmask, int dhcp, const ExchangeOptions *options,
                    ExchangeReport *report)
{
    ExchangeReport unused{};
    Exchange exchange = start_exchange("do_setup", options, report != nullptr ? report : &unused);

    DiscoverEntry request;
    if (start_request(&request, SETUP_REQUEST, mac, exchange) < 0)
        return -1;
    request.ipaddr = *ipaddr;
    request.netmask = *netmask;
    request.dhcp = static_cast<unsigned char>(dhcp & 0xff);

    DiscoverEntry reply;
    sockaddr_in from{};
    if (exchange_request(local, request, SETUP_REPLY, &reply, &from, exchange) < 0)
        return -1;
    exchange.report->stage = STAGE_DONE;
    return 0;
}

int do_setup(const in_addr *local, const ether_addr *mac, const in_addr *ipaddr,
             const in_addr *netmask, int dhcp)
{
    return do_setup_report(local, mac, ipaddr, netmask, dhcp, nullptr, nullptr);
}

int do_install_report(const in_addr *local, const ether_addr *mac, const char *path,
                      const ExchangeOptions *options, ExchangeReport *report)
{
    ExchangeReport unused{};
    Exchange exchange = start_exchange("do_install", options, report != nullptr ? report : &unused);

    DiscoverEntry request;
    if (start_request(&request, INSTALL_REQUEST, mac, exchange) < 0)
        return -1;
    // Checked before the request, so that a device never waits for an
    // image that cannot come.
    uint64_t size = 0;
    ImageProblem problem = IMAGE_OK;
    FdGuard image(open_image(path, &size, &problem));
    if (image.get() < 0)
        return image_failure(path, problem, size, exchange);

    DiscoverEntry reply;
    sockaddr_in from{};
    if (exchange_request(local, request, INSTALL_REPLY, &reply, &from, exchange) < 0)
        return -1;

    FdGuard tcp(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (tcp.get() < 0) {
        report_error("do_install: unable to create tcp socket: %s\n", std::strerror(errno));
        return exchange.fail(STAGE_CONNECT, errno);
    }
    if (!pause_for(INSTALL_SOCKET_GRACE_MS, exchange))
        return cancelled(exchange);
    if (connect_install_port(tcp.get(), from.sin_addr, exchange) < 0)
        return -1;
    exchange.report->image_size = size;
    Upload upload(tcp.get(), image.get(), exchange);
    if (upload.run(path) < 0)
        return -1;
    exchange.report->stage = STAGE_DONE;
    return 0;
}

int do_install(const in_addr *local, const ether_addr *mac, const char *path)
{
    return do_install_report(local, mac, path, nullptr, nullptr);
}
