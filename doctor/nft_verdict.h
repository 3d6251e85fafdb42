// SPDX-License-Identifier: GPL-3.0-or-later
// What an nftables ruleset (as `nft -j list ruleset` prints it) does with a
// reply to a broadcast discovery request.
#pragma once

#include <QByteArray>
#include <cstdint>
#include <netinet/in.h>
#include <string>

// The reply as the input hook sees it: UDP from the device's port to one of
// ports, arriving on an interface from an address in a subnet. The reply does
// not match the conntrack entry of a request sent to a broadcast address, so
// its state is new.
struct ReplyPacket {
    std::string interface;        // empty: not known
    uint16_t port_low, port_high; // the run's port: one, or the range the system picks from
    in_addr subnet, netmask;      // where the device's address lies
};

enum VerdictKind { VERDICT_ACCEPT, VERDICT_DROP, VERDICT_UNKNOWN };

struct FilterVerdict {
    VerdictKind kind = VERDICT_ACCEPT;
    // For a drop or a rule beyond this check: the input base chain it is
    // reached from, where a rule that admits the reply belongs, and the
    // chain and handle of the rule (-1: the base chain's policy).
    std::string family, table, base_chain, chain;
    int handle = -1;
};

// kind VERDICT_UNKNOWN with an empty chain when json is no ruleset.
FilterVerdict evaluate_ruleset(const QByteArray &json, const ReplyPacket &packet);
