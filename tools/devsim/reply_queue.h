// SPDX-License-Identifier: GPL-3.0-or-later
// Replies waiting for their moment, earliest first.
#pragma once

#include <cstdint>
#include <netinet/ether.h>
#include <netinet/in.h>
#include <queue>
#include <vector>

struct PendingReply {
    int64_t due_ms;
    uint64_t order; // keeps replies that are due together in arrival order
    int device;
    int type;   // the reply's message type
    int result; // setup and install replies: the code sent
    unsigned char session[2];
    ether_addr mac; // setup and install replies: the MAC they carry
    sockaddr_in to;
    bool repeat; // the timer of a repeating device's reply, not a reply itself
};

class ReplyQueue
{
  public:
    void push(PendingReply reply)
    {
        reply.order = next_order_++;
        heap_.push(reply);
    }
    bool empty() const { return heap_.empty(); }
    int64_t next_due() const { return heap_.top().due_ms; }
    // Takes the earliest reply if it is due at now_ms.
    bool pop_due(int64_t now_ms, PendingReply *out)
    {
        if (heap_.empty() || heap_.top().due_ms > now_ms)
            return false;
        *out = heap_.top();
        heap_.pop();
        return true;
    }

  private:
    struct Later {
        bool operator()(const PendingReply &a, const PendingReply &b) const
        {
            return a.due_ms != b.due_ms ? a.due_ms > b.due_ms : a.order > b.order;
        }
    };
    std::priority_queue<PendingReply, std::vector<PendingReply>, Later> heap_;
    uint64_t next_order_ = 0;
};

int64_t monotonic_ms();
