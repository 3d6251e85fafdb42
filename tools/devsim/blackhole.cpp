#include "blackhole.h"

#include "discover.h"

#include <sys/socket.h>
#include <sys/time.h>
#include <utility>

// With a backlog of 0 the kernel would admit the first filler only through a
// SYN cookie and warn of a SYN flood; with 1 the queue is full at two.
constexpr int BACKLOG = 1;

bool open_blackhole(in_addr addr, Blackhole *out)
{
    sockaddr_in port{};
    port.sin_family = AF_INET;
    port.sin_port = htons(INSTALL_PORT);
    port.sin_addr = addr;
    const sockaddr *to = reinterpret_cast<const sockaddr *>(&port);
    FdGuard listener(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    int one = 1;
    if (listener.get() < 0 ||
        setsockopt(listener.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
        bind(listener.get(), to, sizeof port) != 0 || listen(listener.get(), BACKLOG) != 0)
        return false;
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
