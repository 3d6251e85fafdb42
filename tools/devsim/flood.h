// SPDX-License-Identifier: GPL-3.0-or-later
// The junk that flooding devices send ahead of their discover reply. It goes
// out a batch per event loop turn, the floods taking turns, so that requests
// and the other devices' replies are not held up behind 100,000 datagrams.
#pragma once

#include "device_datagram.h"
#include "reply_queue.h"

#include <deque>

struct Flood {
    in_addr from;
    sockaddr_in to;
    uint32_t left;
    uint32_t sent;
    // Sent by turns: one that does not decode, and the device's discover
    // reply under another session.
    unsigned char junk[5];
    unsigned char decoy[MAX_DATAGRAM_LEN];
    int decoy_len;
    bool answers;
    PendingReply reply; // due once the flood is over, when the device answers
};

class FloodQueue
{
  public:
    void push(const Flood &flood) { floods_.push_back(flood); }
    bool empty() const { return floods_.empty(); }
    // Sends a batch of the first flood, which then waits behind the others;
    // true, with *done filled, when that batch ended it.
    bool send_batch(int sock, Flood *done);

  private:
    std::deque<Flood> floods_;
};
