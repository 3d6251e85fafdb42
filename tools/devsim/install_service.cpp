// SPDX-License-Identifier: GPL-3.0-or-later
#include "install_service.h"

#include "reply_queue.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/epoll.h>
#include <sys/socket.h>

static uint32_t announced_size(const unsigned char header[4])
{
    return uint32_t{header[0]} << 24 | uint32_t{header[1]} << 16 | uint32_t{header[2]} << 8 |
           header[3];
}

// How an upload stands when the host closes its end.
static const char *end_status(int header_got, const unsigned char header[4], uint64_t received)
{
    if (header_got < 4 || received < announced_size(header))
        return "short";
    return received == announced_size(header) ? "complete" : "long";
}

bool InstallService::listen(int device, const SimDevice &dev)
{
    if (dev.install_port == InstallPort::Closed)
        return true; // a connection finds nothing and is refused
    if (dev.install_port == InstallPort::Blackhole)
        return open_blackhole_once(device, dev.addr);
    auto it = uploads_.find(device);
    if (it != uploads_.end() && !it->second.stalled)
        return true;
    if (it != uploads_.end())
        uploads_.erase(it);
    FdGuard fd = listen_install_port(dev.addr);
    if (fd.get() < 0 || !watch(epoll_fd_, fd.get(), EVENT_LISTENER, device)) {
        std::fprintf(stderr, "devscout-simdevice: install listener on %s: %s\n",
                     address_text(dev.addr).text, std::strerror(errno));
        return false;
    }
    Upload &upload = uploads_[device];
    upload.addr = dev.addr;
    upload.cut_after = dev.cut_after;
    upload.cut = dev.cut;
    upload.stalled = false;
    upload.listener = std::move(fd);
    upload.header_got = 0;
    upload.received = 0;
    upload.fnv = 0x811c9dc5u;
    return true;
}

bool InstallService::open_blackhole_once(int device, in_addr addr)
{
    if (blackholes_.count(device) != 0)
        return true;
    Blackhole hole;
    if (!open_blackhole(addr, &hole)) {
        std::fprintf(stderr, "devscout-simdevice: install blackhole on %s: %s\n",
                     address_text(addr).text, std::strerror(errno));
        return false;
    }
    blackholes_.emplace(device, std::move(hole));
    return true;
}

void InstallService::on_event(EventKind kind, int device)
{
    auto it = uploads_.find(device);
    if (it == uploads_.end())
        return;
    // An event left over in the same batch from an upload that has ended
    // must not reach the device's next one.
    Upload &upload = it->second;
    if (kind == EVENT_LISTENER && upload.connection.get() < 0)
        accept_upload(device, upload);
    else if (kind == EVENT_UPLOAD && upload.connection.get() >= 0 && !upload.stalled)
        read_upload(device, upload);
}

void InstallService::accept_upload(int device, Upload &upload)
{
    FdGuard conn(accept4(upload.listener.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
    if (conn.get() < 0)
        return; // the peer gave up before we got to it; keep listening
    // One upload per install request: later connections wait in the backlog
    // until the listener closes with this upload.
    epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, upload.listener.get(), nullptr);
    if (!watch(epoll_fd_, conn.get(), EVENT_UPLOAD, device)) {
        std::fprintf(stderr, "devscout-simdevice: epoll_ctl: %s\n", std::strerror(errno));
        finish(device, upload, "short");
        return;
    }
    upload.connection = std::move(conn);
}

void InstallService::read_upload(int device, Upload &upload)
{
    unsigned char buf[65536];
    for (;;) {
        size_t want = sizeof buf;
        if (upload.cut_after != NEVER_CUT) {
            uint64_t left = 4 - upload.header_got + (upload.cut_after - upload.received);
            want = left < want ? static_cast<size_t>(left) : want;
        }
        ssize_t n = recv(upload.connection.get(), buf, want, 0);
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            return;
        if (n <= 0) {
            if (n < 0)
                std::fprintf(stderr, "devscout-simdevice: upload to %s: %s\n",
                             address_text(upload.addr).text, std::strerror(errno));
            finish(device, upload, end_status(upload.header_got, upload.header, upload.received));
            return;
        }
        ssize_t i = 0;
        while (i < n && upload.header_got < 4)
            upload.header[upload.header_got++] = buf[i++];
        for (; i < n; ++i) {
            upload.fnv ^= buf[i];
            upload.fnv *= 16777619u;
            upload.received++;
        }
        if (upload.header_got == 4 && upload.received == upload.cut_after) {
            cut(device, upload);
            return;
        }
    }
}

void InstallService::cut(int device, Upload &upload)
{
    switch (upload.cut) {
    case Cut::Close:
        finish(device, upload, "closed");
        return;
    case Cut::Reset: {
        // A zero linger time makes the close send RST instead of FIN.
        linger abort{1, 0};
        setsockopt(upload.connection.get(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
        finish(device, upload, "reset");
        return;
    }
    case Cut::Stall:
        // Unread, the connection's window closes and the host's writes block
        // until it gives up by itself.
        epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, upload.connection.get(), nullptr);
        upload.stalled = true;
        log_upload(upload, "stalled");
        return;
    }
}

void InstallService::log_upload(const Upload &upload, const char *status)
{
    char size[16] = "-";
    if (upload.header_got == 4)
        std::snprintf(size, sizeof size, "%u", announced_size(upload.header));
    log_->line("upload device=%s size=%s received=%llu fnv1a=%08x status=%s",
               address_text(upload.addr).text, size,
               static_cast<unsigned long long>(upload.received), upload.fnv, status);
}

void InstallService::finish(int device, const Upload &upload, const char *status)
{
    log_upload(upload, status);
    SimDevice &d = (*devices_)[device];
    if (std::strcmp(status, "complete") == 0) {
        d.restart_pending = true;
        d.restart_at_ms = monotonic_ms() + d.restart_ms;
        restart_when_due(&d, monotonic_ms());
    }
    uploads_.erase(device); // closes the connection and the listener
}
