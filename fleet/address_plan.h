// SPDX-License-Identifier: GPL-3.0-or-later
// A plan that gives many devices an address each: read from a CSV file or
// counted up from a first address, then checked against what the discovery
// found, before anything is sent. Devices are named by MAC, so factory-fresh
// ones that share an address, or hold none (0.0.0.0), each get their own.
#pragma once

#include "locate.h"

#include <cstddef>
#include <string>
#include <vector>

// What is wrong with a row; a row with any of them is not applied.
enum PlanProblem : unsigned {
    PLAN_ADDRESS_TAKEN = 1u << 0,   // another listed or remembered device holds the address
    PLAN_OUTSIDE_SUBNET = 1u << 1,  // not in the subnet of the interface the device was found on
    PLAN_DUPLICATE = 1u << 2,       // the address or the MAC is in the plan twice
    PLAN_NOT_FOUND = 1u << 3,       // no device answered with the MAC
    PLAN_AMBIGUOUS = 1u << 4,       // several devices answered with the MAC
    PLAN_BAD_ADDRESS = 1u << 5,     // an address no device can hold (check_new_ip)
    PLAN_BAD_NETMASK = 1u << 6,     // a netmask no device can take (check_new_netmask)
    PLAN_PAST_SUBNET_END = 1u << 7, // counting ran out of addresses in the subnet
};
constexpr int PLAN_PROBLEM_KINDS = 8;

// A short phrase for one problem bit ("address taken", ...); null for
// anything that is not exactly one known bit.
const char *plan_problem_text(unsigned problem);
// A word for one problem bit, for programs ("address-taken", ...); null as
// above.
const char *plan_problem_key(unsigned problem);
// Every problem of a mask as "address taken, duplicate in the plan" into
// out (size bytes, always terminated); returns out.
const char *plan_problems_text(unsigned problems, char *out, size_t size);

struct PlanRow {
    ether_addr mac;
    in_addr ip;      // new address; 0.0.0.0 with dhcp leaves it out
    in_addr netmask; // 0.0.0.0 with dhcp leaves it out
    bool dhcp;
    int line;          // the CSV line it came from; 0 when counted
    unsigned problems; // PlanProblem bits
    // Filled by check_plan: whether the MAC was found, and the device (its
    // current address is device.entry.ipaddr).
    bool located;
    DiscoveredDevice device;
};

// An address a device holds, by MAC, so that the device itself is not
// counted as taking the address it is given.
struct HeldAddress {
    ether_addr mac;
    in_addr address;
};

// Reads "mac,ip,netmask[,dhcp]" lines (dhcp 0/1, yes/no, true/false; a header
// line is allowed; blank lines and lines starting with # are skipped). On a
// bad line, errors gets "line N: why" and parsing goes on, so every bad line
// is named; returns 0 when every line was good, -1 otherwise (rows then must
// not be used). read_plan_file also says when the file cannot be read.
int parse_plan_text(const char *text, size_t length, std::vector<PlanRow> *rows,
                    std::vector<std::string> *errors);
int read_plan_file(const char *path, std::vector<PlanRow> *rows, std::vector<std::string> *errors);

// The counting form: the MACs get first, first + 1, ... in netmask's subnet,
// skipping addresses in held (by a device other than the row's) and the
// subnet's network and broadcast addresses. Rows past the subnet's end get
// PLAN_PAST_SUBNET_END and address 0.0.0.0. Appends one row per MAC.
void count_plan(const ether_addr *macs, int mac_count, in_addr first, in_addr netmask,
                const HeldAddress *held, int held_count, std::vector<PlanRow> *rows);

// The held addresses of devices a run heard (0.0.0.0 holds nothing).
void held_addresses(const std::vector<DiscoveredDevice> &devices, std::vector<HeldAddress> *out);

// Sets located, device and problems of every row: the MAC's locate result
// (found by MAC in located), check_new_ip and check_new_netmask, duplicates
// in the plan, addresses in held by other devices, and the subnet of the
// interface the device was found on (locals: list_local_addresses; for the
// wildcard, the local subnet that holds the device's reply source; for a
// device found through a target, the subnet it reports; no check when none
// does). Problems set before (PLAN_PAST_SUBNET_END) stay. Returns
// how many rows have no problem.
int check_plan(std::vector<PlanRow> *rows, const std::vector<LocateResult> &located,
               const HeldAddress *held, int held_count, const std::vector<LocalAddress> &locals);
