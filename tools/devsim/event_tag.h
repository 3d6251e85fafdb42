// What an epoll event belongs to: the kind of descriptor and its device.
#pragma once

#include <cstdint>

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
