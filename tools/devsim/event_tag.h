// SPDX-License-Identifier: GPL-3.0-or-later
// What an epoll event belongs to: the kind of descriptor and its device.
#pragma once

#include <cstdint>
#include <sys/epoll.h>

enum EventKind : uint32_t { EVENT_UDP, EVENT_SIGNAL, EVENT_LISTENER, EVENT_UPLOAD };

inline uint64_t event_tag(EventKind kind, int device)
{
    return static_cast<uint64_t>(kind) << 32 | static_cast<uint32_t>(device);
}
inline EventKind event_kind(uint64_t tag)
{
    return static_cast<EventKind>(tag >> 32);
}
inline int event_device(uint64_t tag)
{
    return static_cast<int>(tag & 0xffffffffu);
}

// Adds fd to the epoll set for input, tagged with its kind and device.
inline bool watch(int epoll_fd, int fd, EventKind kind, int device)
{
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = event_tag(kind, device);
    return epoll_ctl(epoll_fd, EPOLL_CTL_ADD, fd, &ev) == 0;
}
