// SPDX-License-Identifier: GPL-3.0-or-later
#include "blackhole.h"

#include "discover.h"

#include <sys/socket.h>
#include <sys/time.h>
#include <utility>

// With a backlog of 0 the kernel would admit the first filler only through a
// SYN cookie and warn of a SYN flood; with 1 the queue is full at two.
constexpr int BACKLOG = 1;

static sockaddr_in install_port(in_addr addr)
{
    sockaddr_in port{};
    port.sin_family = AF_INET;
    port.sin_port = htons(INSTALL_PORT);
    port.sin_addr = addr;
    return port;
}

FdGuard listen_install_port(in_addr addr)
{
    sockaddr_in port = install_port(addr);
    FdGuard fd(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    int one = 1;
    if (fd.get() < 0 || setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
        bind(fd.get(), reinterpret_cast<sockaddr *>(&port), sizeof port) != 0 ||
        listen(fd.get(), BACKLOG) != 0)
        return FdGuard();
    return fd;
}

bool open_blackhole(in_addr addr, Blackhole *out)
{
    FdGuard listener = listen_install_port(addr);
    if (listener.get() < 0)
        return false;
    sockaddr_in port = install_port(addr);
    const sockaddr *to = reinterpret_cast<const sockaddr *>(&port);
    // Over loopback the handshake completes within connect; the bound only
    // guards against a queue that is somehow full already.
    timeval bound{1, 0};
    for (FdGuard &filler : out->fillers) {
        filler = FdGuard(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (filler.get() < 0 ||
            setsockopt(filler.get(), SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound) != 0 ||
            connect(filler.get(), to, sizeof port) != 0)
            return false;
    }
    out->listener = std::move(listener);
    return true;
}
