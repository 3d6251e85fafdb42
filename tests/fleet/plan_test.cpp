// SPDX-License-Identifier: GPL-3.0-or-later
// Address plans without the network: read from text, counted up, and checked
// against what a run found.
#include "address_plan.h"

#include <arpa/inet.h>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <string_view>

using namespace std::literals;

namespace
{

ether_addr mac(int last)
{
    return {{0x02, 0xaa, 0, 0, 0, static_cast<uint8_t>(last)}};
}

in_addr ip(const char *text)
{
    return in_addr{inet_addr(text)};
}

// "mac ip netmask dhcp @line problems" per row, the MAC by its last byte.
std::string rows_text(const std::vector<PlanRow> &rows)
{
    std::string out;
    for (const PlanRow &row : rows) {
        const std::string address = inet_ntoa(row.ip);
        char line[128];
        std::snprintf(line, sizeof(line), "%02x %s %s %d @%d %x\n", row.mac.ether_addr_octet[5],
                      address.c_str(), inet_ntoa(row.netmask), row.dhcp, row.line, row.problems);
        out += line;
    }
    return out;
}

TEST(PlanTest, TextGivesItsRowsOrNamesEveryBadLine)
{
    const struct {
        std::string_view text;
        int result;
        const char *rows;
        const char *errors; // each followed by a newline
    } cases[] = {
        // A header, comments, blank lines, spaces, CR LF, the dhcp words in
        // any case and a last line without its newline.
        {"mac,ip,netmask,dhcp\n# first shelf\n\n2:AA:0:0:0:1, 198.18.0.10 ,255.255.255.0\r\n"
         "02:aa:00:00:00:02,0.0.0.0,0.0.0.0,YES\n  # indented comment\n"
         "02:aa:00:00:00:03,198.18.0.12,255.255.255.0,False\n"
         "02:aa:00:00:00:04,198.18.0.13,255.255.255.0,1",
         0,
         "01 198.18.0.10 255.255.255.0 0 @4 0\n02 0.0.0.0 0.0.0.0 1 @5 0\n"
         "03 198.18.0.12 255.255.255.0 0 @7 0\n04 198.18.0.13 255.255.255.0 1 @8 0\n",
         ""},
        // Every bad line is named, each with its number; a header is only
        // one at the top.
        {"02:aa:00:00:00:01,198.18.0.10\nzz,198.18.0.10,255.255.255.0\n"
         "03:aa:00:00:00:01,198.18.0.10,255.255.255.0\n02:aa:00:00:00:04,198.18.0,255.255.255.0\n"
         "02:aa:00:00:00:05,198.18.0.10,255.255.255.0.0\n"
         "02:aa:00:00:00:06,198.18.0.10,255.255.255.0,maybe\n"
         "02:aa:00:00:00:07,198.18.0.10,255.255.255.0,1,extra\n"
         "02:aa:00:00:00:08,198.18.0.10,255.255.255.0,\n"
         "02:aa:00:00:00:09,198.18.0.19,255.255.255.0\nmac,ip,netmask\n",
         -1, "09 198.18.0.19 255.255.255.0 0 @9 0\n",
         "line 1: expected mac,ip,netmask[,dhcp]\nline 2: bad MAC 'zz'\n"
         "line 3: MAC '03:aa:00:00:00:01': a group address names no single device\n"
         "line 4: bad IP address '198.18.0'\nline 5: bad netmask '255.255.255.0.0'\n"
         "line 6: bad dhcp 'maybe' (0, 1, yes, no, true or false)\n"
         "line 7: expected mac,ip,netmask[,dhcp]\n"
         "line 8: bad dhcp '' (0, 1, yes, no, true or false)\nline 10: bad MAC 'mac'\n"},
        // A control byte is shown as '?', so the line stays one line.
        {"02:aa:00:00:00:01,198.18.0.10,255.255.255.0\0,1\n02:aa:00:00:00:02,198.18.0.1\n0,"
         "255.255.255.0\n"sv,
         -1, "",
         "line 1: bad netmask '255.255.255.0?'\nline 2: expected mac,ip,netmask[,dhcp]\n"
         "line 3: expected mac,ip,netmask[,dhcp]\n"},
        {"", 0, "", ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        std::vector<PlanRow> rows;
        std::vector<std::string> errors;
        EXPECT_EQ(parse_plan_text(c.text.data(), c.text.size(), &rows, &errors), c.result);
        std::string error_text;
        for (const std::string &error : errors)
            error_text += error + "\n";
        EXPECT_EQ(error_text, c.errors);
        EXPECT_EQ(rows_text(rows), c.rows);
    }
}

TEST(PlanTest, CountingSkipsWhatIsHeldAndStopsAtTheSubnetsEnd)
{
    const struct {
        const char *first, *netmask;
        int macs;
        const char *addresses; // none: past the subnet's end
    } cases[] = {
        // Held by another device: skipped; held by the row's own device:
        // kept. The network address is skipped from the start.
        {"198.18.0.0", "255.255.255.0", 3, "198.18.0.1 198.18.0.3 198.18.0.4"},
        // The broadcast address is skipped, and past the end there is none.
        {"198.18.0.253", "255.255.255.0", 3, "198.18.0.253 198.18.0.254 none"},
        // A /31 has no network or broadcast address of its own; nor does the
        // count wrap at the top of the address space.
        {"198.18.7.0", "255.255.255.254", 3, "198.18.7.0 198.18.7.1 none"},
        {"255.255.255.255", "255.255.255.255", 2, "255.255.255.255 none"},
    };
    const ether_addr macs[] = {mac(1), mac(2), mac(3)};
    const HeldAddress held[] = {
        {mac(1), ip("198.18.0.1")}, {mac(9), ip("198.18.0.2")}, {mac(3), ip("198.18.0.4")}};
    for (const auto &c : cases) {
        std::vector<PlanRow> rows;
        count_plan(macs, c.macs, ip(c.first), ip(c.netmask), held, 3, &rows);
        std::string addresses;
        for (const PlanRow &row : rows)
            addresses += std::string(addresses.empty() ? "" : " ") +
                         (row.problems == PLAN_PAST_SUBNET_END ? "none" : inet_ntoa(row.ip));
        EXPECT_EQ(addresses, c.addresses) << c.first;
    }
}

// What the command line's plans cannot reach: a device found on a named
// interface is checked against that interface's subnet; a device keeps the
// address it holds itself; a counted row past the end and a DHCP row are not
// bad addresses; the same MAC twice is a duplicate; and an earlier check's
// problems do not stick.
TEST(PlanTest, CheckFlagsEachProblemOnItsRow)
{
    std::vector<LocateResult> located;
    for (int last : {1, 2, 3, 4}) {
        DiscoveredDevice device{};
        device.entry.mac = mac(last);
        device.source = ip(last == 4 ? "198.18.5.7" : "198.18.0.101");
        if (last == 4) {
            std::strcpy(device.where.name, "eth9");
            device.where.addr = ip("198.18.5.1");
        }
        located.push_back({mac(last), LOCATE_MISSING, {}});
        locate_add_match(&located.back(), device);
    }
    const struct {
        int mac;
        const char *ip, *netmask;
        bool dhcp;
        unsigned before, after; // problems
    } table[] = {
        {1, "198.18.0.20", "255.255.255.0", false, 0, PLAN_DUPLICATE},
        {2, "0.0.0.0", "255.255.255.0", false, PLAN_PAST_SUBNET_END, PLAN_PAST_SUBNET_END},
        {3, "0.0.0.0", "0.0.0.0", true, PLAN_ADDRESS_TAKEN, 0},
        {4, "198.18.0.50", "255.255.255.0", false, 0, PLAN_OUTSIDE_SUBNET},
        {1, "198.18.0.60", "255.255.255.0", false, 0, PLAN_DUPLICATE},
    };
    std::vector<PlanRow> rows;
    for (const auto &r : table)
        rows.push_back({mac(r.mac), ip(r.ip), ip(r.netmask), r.dhcp, 0, r.before, false, {}});
    const HeldAddress held[] = {{mac(1), ip("198.18.0.20")}};
    std::vector<LocalAddress> locals(2);
    std::strcpy(locals[0].where.name, "lo");
    locals[0].where.addr = ip("198.18.0.1");
    std::strcpy(locals[1].where.name, "eth9");
    locals[1].where.addr = ip("198.18.5.1");
    locals[0].netmask = locals[1].netmask = ip("255.255.255.0");

    EXPECT_EQ(check_plan(&rows, located, held, 1, locals), 1);
    for (size_t i = 0; i < rows.size(); ++i)
        EXPECT_EQ(rows[i].problems, table[i].after) << "row " << i;
}

// Bits past the known ones are nobody's, and a cut text ends inside its size.
TEST(PlanTest, ProblemTextsStayInTheirBuffer)
{
    char text[128];
    EXPECT_STREQ(plan_problems_text(PLAN_ADDRESS_TAKEN | PLAN_NOT_FOUND | 1u << PLAN_PROBLEM_KINDS,
                                    text, sizeof(text)),
                 "address taken, MAC not found");
    EXPECT_EQ(plan_problem_text(PLAN_ADDRESS_TAKEN | PLAN_NOT_FOUND), nullptr);
    EXPECT_EQ(plan_problem_text(1u << PLAN_PROBLEM_KINDS), nullptr);
    std::memset(text, 'x', sizeof(text));
    EXPECT_STREQ(plan_problems_text(~0u, text, 20), "address taken, outs");
    EXPECT_EQ(std::string(text + 20, sizeof(text) - 20), std::string(sizeof(text) - 20, 'x'));
}

} // namespace
