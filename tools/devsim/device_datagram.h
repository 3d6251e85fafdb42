// SPDX-License-Identifier: GPL-3.0-or-later
// The datagrams a device sends: their bytes, and the device's address as
// their source although one socket sends for every device.
#pragma once

#include "device.h"
#include "reply_queue.h"

#include <sys/socket.h>

// The longest is a reply=oversized one, which runs past the protocol's limit.
constexpr int MAX_DATAGRAM_LEN = 300;

// Builds the datagram device d sends for reply; returns its length.
int build_reply(const SimDevice &d, const PendingReply &reply, unsigned char out[MAX_DATAGRAM_LEN]);

struct SourceControl {
    alignas(cmsghdr) char bytes[CMSG_SPACE(sizeof(in_pktinfo))];
};

// Points msg's control data at control, filled to send from addr.
void set_source(msghdr *msg, SourceControl *control, in_addr addr);
