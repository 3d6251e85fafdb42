// SPDX-License-Identifier: GPL-3.0-or-later
#include "device_datagram.h"

#include <cstring>

// The message type a device with reply=wrongtype answers with instead.
static int wrong_type(int type)
{
    return type == SETUP_REPLY ? INSTALL_REPLY : SETUP_REPLY;
}

int build_reply(const SimDevice &d, const PendingReply &reply, unsigned char out[MAX_DATAGRAM_LEN])
{
    DiscoverEntry e;
    reset_discover_packet(&e);
    if (reply.type == DISCOVER_REPLY) {
        e = d.attributes;
    } else {
        e.mac = reply.mac;
        e.result = static_cast<unsigned char>(reply.result);
    }
    e.type = d.reply == ReplyForm::WrongType ? wrong_type(reply.type) : reply.type;
    std::memcpy(e.session_id, reply.session, 2);
    if (d.other_session) {
        e.session_id[0] ^= 0x5a;
        e.session_id[1] ^= 0xa5;
    }
    int len = encode_discover_packet(&e, out);
    if (d.reply == ReplyForm::Malformed) {
        out[3] = ATTR_HOSTNAME; // a value that runs past the end of the datagram
        out[4] = 200;
        return 5;
    }
    if (d.reply == ReplyForm::Oversized) {
        // An attribute that runs past byte 255, so the cut datagram cannot decode.
        std::memset(out + len, 0xee, MAX_DATAGRAM_LEN - len);
        out[len + 1] = 255;
        return MAX_DATAGRAM_LEN;
    }
    return len;
}

void set_source(msghdr *msg, SourceControl *control, in_addr addr)
{
    std::memset(control, 0, sizeof *control);
    msg->msg_control = control->bytes;
    msg->msg_controllen = sizeof control->bytes;
    cmsghdr *cmsg = CMSG_FIRSTHDR(msg);
    cmsg->cmsg_level = IPPROTO_IP;
    cmsg->cmsg_type = IP_PKTINFO;
    cmsg->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
    in_pktinfo info{};
    info.ipi_spec_dst = addr;
    std::memcpy(CMSG_DATA(cmsg), &info, sizeof info);
}
