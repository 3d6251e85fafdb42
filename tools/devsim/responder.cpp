// SPDX-License-Identifier: GPL-3.0-or-later
#include "responder.h"

#include "device_datagram.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/socket.h>
#include <time.h>

// Big enough for a burst of 10,000 devices answering three requests and the
// host acknowledging each reply, so nothing is dropped on this side.
constexpr int SOCKET_BUFFER = 64 << 20;
constexpr int READ_BUDGET = 1024; // datagrams per wake-up, so due replies are not starved

int64_t monotonic_ms()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t{ts.tv_sec} * 1000 + ts.tv_nsec / 1000000;
}

static void set_buffer(int fd, int force_option, int option)
{
    int size = SOCKET_BUFFER;
    if (setsockopt(fd, SOL_SOCKET, force_option, &size, sizeof size) != 0 &&
        setsockopt(fd, SOL_SOCKET, option, &size, sizeof size) != 0)
        std::fprintf(stderr, "devscout-simdevice: socket buffer: %s\n", std::strerror(errno));
}

bool Responder::open()
{
    sock_ = FdGuard(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP));
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(DISCOVER_PORT);
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    if (sock_.get() < 0 ||
        bind(sock_.get(), reinterpret_cast<sockaddr *>(&local), sizeof local) != 0) {
        std::fprintf(stderr, "devscout-simdevice: udp port %u: %s\n", DISCOVER_PORT,
                     std::strerror(errno));
        return false;
    }
    set_buffer(sock_.get(), SO_RCVBUFFORCE, SO_RCVBUF);
    set_buffer(sock_.get(), SO_SNDBUFFORCE, SO_SNDBUF);
    int one = 1; // for the devices that reply to the broadcast address
    if (setsockopt(sock_.get(), SOL_SOCKET, SO_BROADCAST, &one, sizeof one) != 0) {
        std::fprintf(stderr, "devscout-simdevice: SO_BROADCAST: %s\n", std::strerror(errno));
        return false;
    }
    return true;
}

void Responder::on_readable()
{
    for (int i = 0; i < READ_BUDGET; ++i) {
        unsigned char buf[MAX_PACKET_LEN];
        sockaddr_in from{};
        socklen_t from_len = sizeof from;
        ssize_t n = recvfrom(sock_.get(), buf, sizeof buf, MSG_DONTWAIT,
                             reinterpret_cast<sockaddr *>(&from), &from_len);
        if (n < 0) {
            if (errno != EAGAIN && errno != EINTR)
                std::fprintf(stderr, "devscout-simdevice: recvfrom: %s\n", std::strerror(errno));
            return;
        }
        DiscoverEntry request;
        if (parse_discover_packet(buf, static_cast<int>(n), &request) != 0)
            continue;
        switch (request.type) {
        case DISCOVER_REQUEST:
            on_discover(request, from);
            break;
        case DISCOVER_ACK:
            log_->line("ack session=%s from=%s", session_text(request.session_id).text,
                       endpoint_text(from).text);
            break;
        case SETUP_REQUEST:
            on_setup(request, from);
            break;
        case INSTALL_REQUEST:
            on_install(request, from);
            break;
        default:
            break; // other hosts' and devices' traffic
        }
    }
}

void Responder::on_discover(const DiscoverEntry &request, const sockaddr_in &from)
{
    for (int i = 0; i < devices_->size(); ++i) {
        SimDevice &d = (*devices_)[i];
        restart_when_due(&d, monotonic_ms());
        bool answers = d.answer != Answer::None;
        if (d.answer == Answer::First) {
            answers = !d.answered || std::memcmp(d.answered_session, request.session_id, 2) != 0;
            d.answered = true;
            std::memcpy(d.answered_session, request.session_id, 2);
        }
        if (answers)
            log_->line("discover session=%s from=%s device=%s",
                       session_text(request.session_id).text, endpoint_text(from).text,
                       address_text(d.addr).text);
        // A device floods every request, answered or not, so that a silent
        // flooder can be had too.
        if (d.flood > 0)
            start_flood(make_reply(i, DISCOVER_REPLY, 0, request, from), answers);
        else if (answers)
            schedule(i, DISCOVER_REPLY, 0, request, from);
    }
}

static void log_request(EventLog *log, const char *kind, const DiscoverEntry &request,
                        const sockaddr_in &from, int result, const SimDevice *device)
{
    char result_text[8] = "-";
    if (result != NO_REPLY)
        std::snprintf(result_text, sizeof result_text, "%d", result);
    FieldText owner = {"-"};
    if (device != nullptr)
        owner = address_text(device->addr);
    if (request.type == SETUP_REQUEST)
        log->line("setup session=%s from=%s mac=%s ip=%s netmask=%s dhcp=%u result=%s device=%s",
                  session_text(request.session_id).text, endpoint_text(from).text,
                  mac_text(request.mac).text, address_text(request.ipaddr).text,
                  address_text(request.netmask).text, request.dhcp, result_text, owner.text);
    else
        log->line("%s session=%s from=%s mac=%s result=%s device=%s", kind,
                  session_text(request.session_id).text, endpoint_text(from).text,
                  mac_text(request.mac).text, result_text, owner.text);
}

void Responder::on_setup(const DiscoverEntry &request, const sockaddr_in &from)
{
    std::vector<int> answerers = devices_->answerers(request.mac);
    if (answerers.empty())
        log_request(log_, "setup", request, from, NO_REPLY, nullptr);
    for (int i : answerers) {
        SimDevice &d = (*devices_)[i];
        log_request(log_, "setup", request, from, d.setup_result, &d);
        // An impostor answering for another MAC does not take its settings.
        bool own = std::memcmp(&request.mac, &d.attributes.mac, sizeof request.mac) == 0;
        if (d.setup_result == RESULT_SUCCESS && own) {
            // Fields the request leaves out keep their value.
            if (request.ipaddr.s_addr != 0)
                d.attributes.ipaddr = request.ipaddr;
            if (request.netmask.s_addr != 0)
                d.attributes.netmask = request.netmask;
            d.attributes.dhcp = request.dhcp;
            if (d.gone_after_setup)
                d.answer = Answer::None;
        }
        if (d.setup_result != NO_REPLY)
            schedule(i, SETUP_REPLY, d.setup_result, request, from);
    }
}

void Responder::on_install(const DiscoverEntry &request, const sockaddr_in &from)
{
    std::vector<int> answerers = devices_->answerers(request.mac);
    if (answerers.empty())
        log_request(log_, "install", request, from, NO_REPLY, nullptr);
    for (int i : answerers) {
        SimDevice &d = (*devices_)[i];
        int result = d.install_result;
        // The listener stands before the reply goes out, as on a real device;
        // one that cannot be opened is the device's "socket creation failed".
        if (result == RESULT_SUCCESS && !installs_->listen(i, d))
            result = RESULT_FAILED;
        log_request(log_, "install", request, from, result, &d);
        if (result != NO_REPLY)
            schedule(i, INSTALL_REPLY, result, request, from);
    }
}

PendingReply Responder::make_reply(int device, int type, int result, const DiscoverEntry &request,
                                   const sockaddr_in &from)
{
    const SimDevice &d = (*devices_)[device];
    int delay = d.delay_ms;
    if (d.random_delay)
        delay = std::uniform_int_distribution<int>(0, d.delay_ms)(rng_);
    PendingReply reply{};
    reply.due_ms = monotonic_ms() + delay;
    reply.device = device;
    reply.type = type;
    reply.result = result;
    std::memcpy(reply.session, request.session_id, 2);
    reply.mac = d.claim == Claim::Echo ? request.mac : d.attributes.mac;
    reply.to = from;
    return reply;
}

void Responder::schedule(int device, int type, int result, const DiscoverEntry &request,
                         const sockaddr_in &from)
{
    queue_.push(make_reply(device, type, result, request, from));
}

void Responder::start_flood(const PendingReply &reply, bool answers)
{
    const SimDevice &d = (*devices_)[reply.device];
    Flood flood{};
    flood.from = d.addr;
    flood.to = reply.to;
    flood.left = d.flood;
    // The request's type and session, so that a host has to decode it to
    // throw it away; its one attribute runs past the end.
    const unsigned char junk[5] = {DISCOVER_REPLY, reply.session[0], reply.session[1],
                                   ATTR_HOSTNAME, 200};
    std::memcpy(flood.junk, junk, sizeof junk);
    PendingReply foreign = reply;
    foreign.session[0] ^= 0xff; // still foreign after session=other's own change
    foreign.session[1] ^= 0xff;
    flood.decoy_len = build_reply(d, foreign, flood.decoy);
    flood.answers = answers;
    flood.reply = reply;
    floods_.push(flood);
}

void Responder::send_flood_batch()
{
    Flood done{};
    if (!floods_.send_batch(sock_.get(), &done))
        return;
    log_->line("flood device=%s to=%s sent=%u", address_text(done.from).text,
               endpoint_text(done.to).text, done.sent);
    if (done.answers)
        queue_.push(done.reply); // already due unless the flood was quick
}

int Responder::timeout_ms(int64_t now_ms) const
{
    if (!floods_.empty())
        return 0;
    if (queue_.empty())
        return -1;
    int64_t wait = queue_.next_due() - now_ms;
    return wait > 0 ? static_cast<int>(wait) : 0;
}

static sockaddr_in destination(const SimDevice &d, const PendingReply &reply)
{
    sockaddr_in to = reply.to;
    if (d.reply_broadcast)
        to.sin_addr.s_addr = htonl(INADDR_BROADCAST);
    return to;
}

void Responder::send_due(int64_t now_ms)
{
    if (!floods_.empty())
        send_flood_batch();
    PendingReply reply;
    while (queue_.pop_due(now_ms, &reply)) {
        if (reply.repeat) {
            repeat(reply, now_ms);
            continue;
        }
        send_reply(reply);
        if ((*devices_)[reply.device].repeat_ms > 0)
            keep_repeating(reply, now_ms);
    }
}

// One repeat per device and destination, and a newer reply takes the place of
// the older one, so that a chattering device's queue does not grow with the
// requests it gets.
void Responder::keep_repeating(const PendingReply &reply, int64_t now_ms)
{
    RepeatKey key{reply.device, reply.to.sin_addr.s_addr, reply.to.sin_port};
    if (!repeats_.insert_or_assign(key, reply).second)
        return; // its timer is running
    PendingReply timer = reply;
    timer.repeat = true;
    timer.due_ms = now_ms + (*devices_)[reply.device].repeat_ms;
    queue_.push(timer);
}

void Responder::repeat(PendingReply timer, int64_t now_ms)
{
    const SimDevice &d = (*devices_)[timer.device];
    const PendingReply &reply =
        repeats_.at(RepeatKey{timer.device, timer.to.sin_addr.s_addr, timer.to.sin_port});
    send_reply(reply);
    log_->line("repeat device=%s to=%s type=%d session=%s", address_text(d.addr).text,
               endpoint_text(destination(d, reply)).text, reply.type,
               session_text(reply.session).text);
    timer.due_ms = now_ms + d.repeat_ms;
    queue_.push(timer);
}

void Responder::send_reply(const PendingReply &reply)
{
    const SimDevice &d = (*devices_)[reply.device];
    unsigned char packet[MAX_DATAGRAM_LEN];
    int len = build_reply(d, reply, packet);

    iovec iov{packet, static_cast<size_t>(len)};
    SourceControl control;
    msghdr msg{};
    sockaddr_in to = destination(d, reply);
    msg.msg_name = &to;
    msg.msg_namelen = sizeof to;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    set_source(&msg, &control, d.addr);

    if (sendmsg(sock_.get(), &msg, 0) != len)
        std::fprintf(stderr, "devscout-simdevice: reply from %s to %s: %s\n",
                     address_text(d.addr).text, endpoint_text(to).text, std::strerror(errno));
}
