// The exchanges with the devices: the discovery socket, discover requests and
// replies, and the setup and install exchanges.
#include "discover.h"
#include "report.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>

int set_discover_socket(const in_addr *local)
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
    addr.sin_port = 0;
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
    session_id[0] = static_cast<unsigned char>(std::rand() % 256);
    session_id[1] = static_cast<unsigned char>(std::rand() % 256);
}

static int send_header_only(int sock, int type, const unsigned char session_id[2])
{
    DiscoverEntry entry;
    reset_discover_packet(&entry);
    entry.type = type;
    entry.session_id[0] = session_id[0];
    entry.session_id[1] = session_id[1];
    return broadcast_discover_packet(sock, DISCOVER_PORT, &entry);
}

int send_discover(int sock, const unsigned char session_id[2])
{
    return send_header_only(sock, DISCOVER_REQUEST, session_id);
}

int send_discover_reply_ack(int sock, const unsigned char session_id[2])
{
    return send_header_only(sock, DISCOVER_ACK, session_id);
}

int read_discover_packet(int sock, DiscoverEntry *entry, sockaddr_in *from)
{
    unsigned char buffer[MAX_PACKET_LEN];
    socklen_t from_len = from != nullptr ? sizeof(sockaddr_in) : 0;
    ssize_t got = recvfrom(sock, buffer, sizeof(buffer), 0, reinterpret_cast<sockaddr *>(from),
                           from != nullptr ? &from_len : nullptr);
    if (got < 0) {
        if (errno == EAGAIN)
            report_error("read_discover_packet: timeout\n");
        else
            report_error("read_discover_packet: error reading incoming packet: %s\n",
                         std::strerror(errno));
        return -1;
    }
    if (parse_discover_packet(buffer, static_cast<int>(got), entry) != 0) {
        report_error("read_discover_packet: got b0rked packet\n");
        return 0;
    }
    return 1;
}

static bool same_session(const DiscoverEntry &entry, const unsigned char session_id[2])
{
    return entry.session_id[0] == session_id[0] && entry.session_id[1] == session_id[1];
}

int read_discover_reply(int sock, const unsigned char session_id[2], DiscoverEntry *entry)
{
    DiscoverEntry reply;
    reset_discover_packet(&reply);
    int got = read_discover_packet(sock, &reply, nullptr);
    if (got != 1)
        return got;
    if (reply.type != DISCOVER_REPLY) {
        report_error("read_discover_reply: this doesn't look like a discover reply at all\n");
        return 0;
    }
    if (!same_session(reply, session_id)) {
        report_error("read_discover_reply: this isn't the reply we want\n");
        return 0;
    }
    report_error("read_discover_reply: we got a reply :-)\n");
    send_discover_reply_ack(sock, session_id);
    if (entry != nullptr)
        *entry = reply;
    return 1;
}

void print_discover_entry(const DiscoverEntry *entry)
{
    char mac[18];
    char ip[INET_ADDRSTRLEN];
    char mask[INET_ADDRSTRLEN];
    std::printf("*** Found device ***\n");
    std::printf("firmware:\t%s\n", entry->firmware);
    std::printf("hostname:\t%s\n", entry->hostname);
    std::printf("macaddress:\t%s\n", ether_ntoa_r(&entry->mac, mac));
    std::printf("ipaddress:\t%s\n", inet_ntop(AF_INET, &entry->ipaddr, ip, sizeof(ip)));
    std::printf("netmask:\t%s\n", inet_ntop(AF_INET, &entry->netmask, mask, sizeof(mask)));
}

namespace
{

void start_report(ExchangeReport *report)
{
    report->stage = STAGE_SOCKET;
    report->result = 0;
    report->error = 0;
    report->device.s_addr = 0;
    report->image_size = 0;
    report->sent = 0;
}

// Marks where an exchange ended, with the errno of the call that failed.
int fail(ExchangeReport *report, ExchangeStage stage, int error)
{
    report->stage = stage;
    report->error = error;
    return -1;
}

// Broadcasts request on a fresh discovery socket and waits for the reply of
// the given type that carries the request's session identifier. Replies of
// other types or sessions are passed over silently. Fills reply and the
// address it came from; the socket is closed before returning.
int exchange_request(const in_addr *local, const DiscoverEntry &request, int reply_type,
                     DiscoverEntry *reply, sockaddr_in *from, ExchangeReport *report)
{
    FdGuard sock(set_discover_socket(local));
    if (sock.get() < 0)
        return fail(report, STAGE_SOCKET, errno);
    // A failed send shows as its own line and then as the time-out.
    broadcast_discover_packet(sock.get(), DISCOVER_PORT, &request);
    for (;;) {
        int got = read_discover_packet(sock.get(), reply, from);
        if (got < 0)
            return fail(report, STAGE_NO_REPLY, errno);
        if (got == 1 && reply->type == reply_type && same_session(*reply, request.session_id))
            break;
    }
    char address[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &from->sin_addr, address, sizeof(address));
    report->device = from->sin_addr;
    report->result = reply->result;
    std::printf("got reply from %s: %s\n", address,
                reply_type == SETUP_REPLY ? setup_result_word(reply->result)
                                          : install_result_word(reply->result));
    std::fflush(stdout);
    if (reply->result != RESULT_SUCCESS)
        return fail(report, STAGE_REFUSED, 0);
    return 0;
}

void start_request(DiscoverEntry *request, int type, const ether_addr *mac)
{
    reset_discover_packet(request);
    request->type = type;
    fill_session_id(request->session_id);
    request->mac = *mac;
}

// Sends all of data, continuing after partial sends. MSG_NOSIGNAL turns a
// device that hung up into a failed send instead of a fatal SIGPIPE.
int send_all(int sock, const unsigned char *data, size_t length, ExchangeReport *report)
{
    size_t done = 0;
    while (done < length) {
        ssize_t sent = send(sock, data + done, length - done, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent < 0) {
            report_error("do_install: unable to send data: send(): %s\n", std::strerror(errno));
            return fail(report, STAGE_UPLOAD, errno);
        }
        if (sent == 0) {
            report_error("do_install: unable to send data: send got somehow stuck\n");
            return fail(report, STAGE_UPLOAD, 0);
        }
        done += static_cast<size_t>(sent);
    }
    return 0;
}

// Streams the image file to the connected install socket: the size as four
// big-endian bytes, then the bytes, one 2048-byte piece at a time.
int upload_image(int sock, const char *path, ExchangeReport *report)
{
    struct stat status;
    if (stat(path, &status) < 0) {
        report_error("do_install: unable to stat image file '%s': %s\n", path,
                     std::strerror(errno));
        return fail(report, STAGE_IMAGE, errno);
    }
    // A pipe or device has no size to announce; a directory has no bytes.
    if (!S_ISREG(status.st_mode)) {
        report_error("do_install: image file '%s' is not a regular file\n", path);
        return fail(report, STAGE_IMAGE, 0);
    }
    const uint64_t size = static_cast<uint64_t>(status.st_size);
    if (size > UINT32_MAX) {
        report_error("do_install: image file '%s' is too large (%llu bytes, at most %u)\n", path,
                     static_cast<unsigned long long>(size), UINT32_MAX);
        return fail(report, STAGE_IMAGE, EFBIG);
    }
    FileGuard file(std::fopen(path, "rbe"));
    if (file.get() == nullptr) {
        report_error("do_install: unable to open image file '%s': %s\n", path,
                     std::strerror(errno));
        return fail(report, STAGE_IMAGE, errno);
    }
    report->image_size = size;

    const uint32_t announced = htonl(static_cast<uint32_t>(size));
    ssize_t sent = send(sock, &announced, sizeof(announced), MSG_NOSIGNAL);
    if (sent < 0) {
        report_error("do_install: unable to send header: send(): %s\n", std::strerror(errno));
        return fail(report, STAGE_UPLOAD, errno);
    }
    if (sent != sizeof(announced)) {
        report_error("do_install: unable to send header (wanted %d bytes, sent %d bytes)\n",
                     static_cast<int>(sizeof(announced)), static_cast<int>(sent));
        return fail(report, STAGE_UPLOAD, 0);
    }

    unsigned char buffer[INSTALL_CHUNK];
    uint64_t remaining = size;
    while (remaining != 0) {
        size_t want = remaining < sizeof(buffer) ? static_cast<size_t>(remaining) : sizeof(buffer);
        size_t got = std::fread(buffer, 1, want, file.get());
        if (got == 0) {
            // At the end of a file that shrank there is no errno to tell.
            int error = std::ferror(file.get()) ? errno : ENODATA;
            report_error("do_install: fread(%s) failed: %s\n", path, std::strerror(error));
            return fail(report, STAGE_IMAGE, error);
        }
        if (send_all(sock, buffer, got, report) < 0)
            return -1;
        remaining -= got;
        report->sent += got;
        if (report->progress != nullptr)
            report->progress(report->context, report->sent, size);
    }
    return 0;
}

} // namespace

int do_setup_report(const in_addr *local, const ether_addr *mac, const in_addr *ipaddr,
                    const in_addr *netmask, int dhcp, ExchangeReport *report)
{
    ExchangeReport unused{};
    if (report == nullptr)
        report = &unused;
    start_report(report);

    DiscoverEntry request;
    start_request(&request, SETUP_REQUEST, mac);
    request.ipaddr = *ipaddr;
    request.netmask = *netmask;
    request.dhcp = static_cast<unsigned char>(dhcp & 0xff);

    DiscoverEntry reply;
    sockaddr_in from{};
    if (exchange_request(local, request, SETUP_REPLY, &reply, &from, report) < 0)
        return -1;
    report->stage = STAGE_DONE;
    return 0;
}

int do_setup(const in_addr *local, const ether_addr *mac, const in_addr *ipaddr,
             const in_addr *netmask, int dhcp)
{
    return do_setup_report(local, mac, ipaddr, netmask, dhcp, nullptr);
}

int do_install_report(const in_addr *local, const ether_addr *mac, const char *path,
                      ExchangeReport *report)
{
    ExchangeReport unused{};
    if (report == nullptr)
        report = &unused;
    start_report(report);

    DiscoverEntry request;
    start_request(&request, INSTALL_REQUEST, mac);

    DiscoverEntry reply;
    sockaddr_in from{};
    if (exchange_request(local, request, INSTALL_REPLY, &reply, &from, report) < 0)
        return -1;

    FdGuard tcp(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (tcp.get() < 0) {
        report_error("do_install: unable to create tcp socket: %s\n", std::strerror(errno));
        return fail(report, STAGE_CONNECT, errno);
    }
    // The device opens its install socket only after it has replied.
    sleep(1);
    sockaddr_in device{};
    device.sin_family = AF_INET;
    device.sin_port = htons(INSTALL_PORT);
    device.sin_addr = from.sin_addr;
    if (connect(tcp.get(), reinterpret_cast<const sockaddr *>(&device), sizeof(device)) < 0) {
        report_error("do_install: unable to connect to install socket: %s\n", std::strerror(errno));
        return fail(report, STAGE_CONNECT, errno);
    }
    if (upload_image(tcp.get(), path, report) < 0)
        return -1;
    report->stage = STAGE_DONE;
    return 0;
}

int do_install(const in_addr *local, const ether_addr *mac, const char *path)
{
    return do_install_report(local, mac, path, nullptr);
}
