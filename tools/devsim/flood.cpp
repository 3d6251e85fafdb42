// SPDX-License-Identifier: GPL-3.0-or-later
#include "flood.h"

#include "event_log.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

constexpr uint32_t BATCH = 1024; // sendmmsg takes no more at once

bool FloodQueue::send_batch(int sock, Flood *done)
{
    Flood flood = floods_.front();
    floods_.pop_front();
    iovec datagrams[2] = {{flood.junk, sizeof flood.junk},
                          {flood.decoy, static_cast<size_t>(flood.decoy_len)}};
    SourceControl control;
    msghdr base{};
    base.msg_name = &flood.to;
    base.msg_namelen = sizeof flood.to;
    base.msg_iovlen = 1;
    set_source(&base, &control, flood.from);
    mmsghdr batch[BATCH];
    uint32_t count = flood.left < BATCH ? flood.left : BATCH;
    for (uint32_t i = 0; i < count; ++i) {
        batch[i].msg_hdr = base;
        batch[i].msg_hdr.msg_iov = &datagrams[(flood.sent + i) % 2];
    }
    int n = sendmmsg(sock, batch, count, MSG_DONTWAIT);
    if (n > 0) {
        flood.sent += static_cast<uint32_t>(n);
        flood.left -= static_cast<uint32_t>(n);
    } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
        // Not a full buffer, which the next turn may find emptied: give up
        // the rest rather than fail the same way 100,000 times.
        std::fprintf(stderr, "devscout-simdevice: flood from %s to %s: %s\n",
                     address_text(flood.from).text, endpoint_text(flood.to).text,
                     std::strerror(errno));
        flood.left = 0;
    }
    if (flood.left > 0) {
        floods_.push_back(flood);
        return false;
    }
    *done = flood;
    return true;
}
