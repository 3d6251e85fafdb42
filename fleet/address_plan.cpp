// SPDX-License-Identifier: GPL-3.0-or-later
#include "address_plan.h"

#include "checks.h"
#include "fd_guard.h"
#include "text.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <strings.h>

namespace
{

// By bit, as the enumeration orders them.
const char *const PROBLEM_TEXTS[PLAN_PROBLEM_KINDS] = {
    "address taken",
    "outside the interface's subnet",
    "duplicate in the plan",
    "MAC not found",
    "MAC ambiguous",
    "address no device can hold",
    "netmask no device can take",
    "past the subnet's end",
};
const char *const PROBLEM_KEYS[PLAN_PROBLEM_KINDS] = {
    "address-taken", "outside-subnet", "duplicate",   "not-found",
    "ambiguous",     "bad-address",    "bad-netmask", "past-subnet-end",
};

const char *problem_entry(const char *const table[PLAN_PROBLEM_KINDS], unsigned problem)
{
    for (int i = 0; i < PLAN_PROBLEM_KINDS; ++i)
        if (problem == 1u << i)
            return table[i];
    return nullptr;
}

// A plan file larger than this is no plan: 16 MiB hold over 300,000 rows.
constexpr long MAX_PLAN_BYTES = 16L << 20;
constexpr int MAX_FIELDS = 4;

struct Span {
    const char *text;
    size_t length;
};

Span trimmed(const char *text, size_t length)
{
    while (length > 0 && (*text == ' ' || *text == '\t')) {
        ++text;
        --length;
    }
    while (length > 0 &&
           (text[length - 1] == ' ' || text[length - 1] == '\t' || text[length - 1] == '\r'))
        --length;
    return {text, length};
}

bool equals(Span span, const char *word)
{
    return span.length == std::strlen(word) && strncasecmp(span.text, word, span.length) == 0;
}

// A control byte shows as '?', so an error stays one line.
std::string quoted(Span span)
{
    std::string out = "'";
    for (size_t i = 0; i < span.length; ++i) {
        const unsigned char byte = static_cast<unsigned char>(span.text[i]);
        out += byte < 0x20 || byte == 0x7f ? '?' : static_cast<char>(byte);
    }
    return out + "'";
}

bool parse_address(Span span, in_addr *out)
{
    char text[INET_ADDRSTRLEN];
    if (span.length >= sizeof(text) || std::memchr(span.text, '\0', span.length) != nullptr)
        return false;
    std::memcpy(text, span.text, span.length);
    text[span.length] = '\0';
    return inet_pton(AF_INET, text, out) == 1;
}

bool parse_flag(Span span, bool *out)
{
    const bool yes = equals(span, "1") || equals(span, "yes") || equals(span, "true");
    const bool no = equals(span, "0") || equals(span, "no") || equals(span, "false");
    *out = yes;
    return yes || no;
}

// One line's fields into row; the reason, or an empty string when it is good.
std::string parse_row(const Span *fields, int count, PlanRow *row)
{
    if (count < 3 || count > MAX_FIELDS)
        return "expected mac,ip,netmask[,dhcp]";
    if (!parse_mac_text(fields[0].text, fields[0].length, &row->mac))
        return "bad MAC " + quoted(fields[0]);
    if (const char *problem = check_device_mac(row->mac))
        return "MAC " + quoted(fields[0]) + ": " + problem;
    if (!parse_address(fields[1], &row->ip))
        return "bad IP address " + quoted(fields[1]);
    if (!parse_address(fields[2], &row->netmask))
        return "bad netmask " + quoted(fields[2]);
    if (count == 4 && !parse_flag(fields[3], &row->dhcp))
        return "bad dhcp " + quoted(fields[3]) + " (0, 1, yes, no, true or false)";
    return {};
}

bool held_by_other(uint32_t address, const ether_addr &mac, const HeldAddress *held, int held_count)
{
    for (int i = 0; i < held_count; ++i)
        if (ntohl(held[i].address.s_addr) == address && !same_mac(held[i].mac, mac))
            return true;
    return false;
}

// The subnet a device was found in: that of the interface address the run
// used, or for the wildcard the local one that holds the device's reply
// source, or for a device found through a target the one it reports. False
// when none is known.
bool subnet_of(const DiscoveredDevice &device, const std::vector<LocalAddress> &locals,
               uint32_t *network, uint32_t *mask)
{
    // Behind a router, the subnet the device reports is the one it stays
    // reachable in; no local one holds it.
    if (device.target.s_addr != INADDR_ANY) {
        *mask = ntohl(device.entry.netmask.s_addr);
        *network = ntohl(device.source.s_addr) & *mask;
        return *mask != 0;
    }
    for (const LocalAddress &local : locals) {
        const uint32_t m = ntohl(local.netmask.s_addr);
        const uint32_t address = ntohl(local.where.addr.s_addr);
        const bool here = is_wildcard(device.where)
                              ? m != 0 && (ntohl(device.source.s_addr) & m) == (address & m)
                              : local.where.addr.s_addr == device.where.addr.s_addr &&
                                    std::strncmp(local.where.name, device.where.name,
                                                 sizeof(local.where.name)) == 0;
        if (here) {
            *network = address & m;
            *mask = m;
            return true;
        }
    }
    return false;
}

const LocateResult *result_for(const std::vector<LocateResult> &located, const ether_addr &mac)
{
    for (const LocateResult &result : located)
        if (same_mac(result.mac, mac))
            return &result;
    return nullptr;
}

} // namespace

const char *plan_problem_text(unsigned problem)
{
    return problem_entry(PROBLEM_TEXTS, problem);
}

const char *plan_problem_key(unsigned problem)
{
    return problem_entry(PROBLEM_KEYS, problem);
}

const char *plan_problems_text(unsigned problems, char *out, size_t size)
{
    if (size == 0)
        return out;
    out[0] = '\0';
    size_t used = 0;
    for (int i = 0; i < PLAN_PROBLEM_KINDS; ++i) {
        if (!(problems & 1u << i))
            continue;
        const int n =
            std::snprintf(out + used, size - used, "%s%s", used > 0 ? ", " : "", PROBLEM_TEXTS[i]);
        if (n < 0 || static_cast<size_t>(n) >= size - used)
            break; // cut, but terminated
        used += static_cast<size_t>(n);
    }
    return out;
}

int parse_plan_text(const char *text, size_t length, std::vector<PlanRow> *rows,
                    std::vector<std::string> *errors)
{
    int bad = 0;
    int line = 0;
    bool header_possible = true;
    for (size_t pos = 0; pos < length;) {
        const char *end = static_cast<const char *>(std::memchr(text + pos, '\n', length - pos));
        const size_t line_length = end != nullptr ? end - (text + pos) : length - pos;
        const Span whole = trimmed(text + pos, line_length);
        pos += line_length + 1;
        ++line;
        if (whole.length == 0 || whole.text[0] == '#')
            continue;
        Span fields[MAX_FIELDS + 1];
        int count = 0;
        for (size_t start = 0; start <= whole.length && count <= MAX_FIELDS;) {
            const char *comma = static_cast<const char *>(
                std::memchr(whole.text + start, ',', whole.length - start));
            const size_t field_end = comma != nullptr ? comma - whole.text : whole.length;
            fields[count++] = trimmed(whole.text + start, field_end - start);
            start = field_end + 1;
        }
        const bool header = header_possible && equals(fields[0], "mac");
        header_possible = false;
        if (header)
            continue;
        PlanRow row{};
        row.line = line;
        const std::string why = parse_row(fields, count, &row);
        if (why.empty()) {
            rows->push_back(row);
            continue;
        }
        errors->push_back("line " + std::to_string(line) + ": " + why);
        ++bad;
    }
    return bad == 0 ? 0 : -1;
}

int read_plan_file(const char *path, std::vector<PlanRow> *rows, std::vector<std::string> *errors)
{
    FileGuard file(std::fopen(path, "rb"));
    std::string text;
    if (file.get() != nullptr) {
        char buffer[65536];
        size_t got;
        while ((got = std::fread(buffer, 1, sizeof(buffer), file.get())) > 0 &&
               text.size() <= MAX_PLAN_BYTES)
            text.append(buffer, got);
    }
    if (file.get() == nullptr || std::ferror(file.get())) {
        errors->push_back(std::string("cannot read '") + path + "': " + std::strerror(errno));
        return -1;
    }
    if (text.size() > MAX_PLAN_BYTES) {
        errors->push_back(std::string("'") + path + "' is larger than a plan can be (16 MiB)");
        return -1;
    }
    return parse_plan_text(text.data(), text.size(), rows, errors);
}

void count_plan(const ether_addr *macs, int mac_count, in_addr first, in_addr netmask,
                const HeldAddress *held, int held_count, std::vector<PlanRow> *rows)
{
    const uint32_t mask = ntohl(netmask.s_addr);
    const uint32_t network = ntohl(first.s_addr) & mask;
    const uint64_t broadcast = network | ~mask;
    // /31 and /32 have no network or broadcast address of their own.
    const bool ends_reserved = ~mask > 1;
    uint64_t next = ntohl(first.s_addr);
    for (int i = 0; i < mac_count; ++i) {
        PlanRow row{};
        row.mac = macs[i];
        row.netmask = netmask;
        while (next <= broadcast &&
               ((ends_reserved && (next == network || next == broadcast)) ||
                held_by_other(static_cast<uint32_t>(next), macs[i], held, held_count)))
            ++next;
        if (next <= broadcast)
            row.ip.s_addr = htonl(static_cast<uint32_t>(next++));
        else
            row.problems |= PLAN_PAST_SUBNET_END;
        rows->push_back(row);
    }
}

void held_addresses(const std::vector<DiscoveredDevice> &devices, std::vector<HeldAddress> *out)
{
    for (const DiscoveredDevice &device : devices)
        if (device.entry.ipaddr.s_addr != INADDR_ANY)
            out->push_back({device.entry.mac, device.entry.ipaddr});
}

int check_plan(std::vector<PlanRow> *rows, const std::vector<LocateResult> &located,
               const HeldAddress *held, int held_count, const std::vector<LocalAddress> &locals)
{
    int clean = 0;
    for (PlanRow &row : *rows) {
        row.problems &= PLAN_PAST_SUBNET_END;
        row.located = false;
        const LocateResult *result = result_for(located, row.mac);
        if (result == nullptr || result->state == LOCATE_MISSING)
            row.problems |= PLAN_NOT_FOUND;
        else if (result->state == LOCATE_AMBIGUOUS)
            row.problems |= PLAN_AMBIGUOUS;
        else {
            row.located = true;
            row.device = result->matches.front();
        }
        const bool counted_out = row.problems & PLAN_PAST_SUBNET_END;
        if (!counted_out && check_new_ip(row.ip, row.netmask, row.dhcp) != nullptr)
            row.problems |= PLAN_BAD_ADDRESS;
        if (!counted_out && check_new_netmask(row.netmask, row.dhcp) != nullptr)
            row.problems |= PLAN_BAD_NETMASK;
        for (const PlanRow &other : *rows)
            if (&other != &row &&
                (same_mac(other.mac, row.mac) ||
                 (row.ip.s_addr != INADDR_ANY && other.ip.s_addr == row.ip.s_addr)))
                row.problems |= PLAN_DUPLICATE;
        const uint32_t ip = ntohl(row.ip.s_addr);
        if (ip != INADDR_ANY && held_by_other(ip, row.mac, held, held_count))
            row.problems |= PLAN_ADDRESS_TAKEN;
        uint32_t network = 0, mask = 0;
        if (row.located && ip != INADDR_ANY && subnet_of(row.device, locals, &network, &mask) &&
            (ip & mask) != network)
            row.problems |= PLAN_OUTSIDE_SUBNET;
        clean += row.problems == 0;
    }
    return clean;
}
