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

// "mac ip netmask dhcp @line problems" per row, one per line.
std::string rows_text(const std::vector<PlanRow> &rows)
{
    std::string out;
    for (const PlanRow &row : rows) {
        char line[128];
        char mac_text[18];
        std::snprintf(mac_text, sizeof(mac_text), "%02x", row.mac.ether_addr_octet[5]);
        std::string address = inet_ntoa(row.ip);
        std::snprintf(line, sizeof(line), "%s %s %s %d @%d %x\n", mac_text, address.c_str(),
                      inet_ntoa(row.netmask), row.dhcp, row.line, row.problems);
        out += line;
    }
    return out;
}

struct ParseCase {
    std::string_view text;
    int result;
    const char *rows;
    const char *errors; // each followed by a newline
};

const ParseCase PARSE_CASES[] = {
    // A header, comments, blank lines, spaces, CR LF, the dhcp words in any
    // case and a last line without its newline.
    {"mac,ip,netmask,dhcp\n# first shelf\n\n2:AA:0:0:0:1, 198.18.0.10 ,255.255.255.0\r\n"
     "02:aa:00:00:00:02,0.0.0.0,0.0.0.0,YES\n  # indented comment\n"
     "02:aa:00:00:00:03,198.18.0.12,255.255.255.0,False",
     0,
     "01 198.18.0.10 255.255.255.0 0 @4 0\n02 0.0.0.0 0.0.0.0 1 @5 0\n"
     "03 198.18.0.12 255.255.255.0 0 @7 0\n",
     ""},
    {"02:aa:00:00:00:01,198.18.0.10,255.255.255.0,1\n", 0, "01 198.18.0.10 255.255.255.0 1 @1 0\n",
     ""},
    // Every bad line is named, each with its number; a header is only one
    // at the top.
    {"02:aa:00:00:00:01,198.18.0.10\n"
     "zz,198.18.0.10,255.255.255.0\n"
     "03:aa:00:00:00:01,198.18.0.10,255.255.255.0\n"
     "02:aa:00:00:00:04,198.18.0,255.255.255.0\n"
     "02:aa:00:00:00:05,198.18.0.10,255.255.255.0.0\n"
     "02:aa:00:00:00:06,198.18.0.10,255.255.255.0,maybe\n"
     "02:aa:00:00:00:07,198.18.0.10,255.255.255.0,1,extra\n"
     "02:aa:00:00:00:08,198.18.0.10,255.255.255.0,\n"
     "02:aa:00:00:00:09,198.18.0.19,255.255.255.0\n"
     "mac,ip,netmask\n",
     -1, "09 198.18.0.19 255.255.255.0 0 @9 0\n",
     "line 1: expected mac,ip,netmask[,dhcp]\n"
     "line 2: bad MAC 'zz'\n"
     "line 3: MAC '03:aa:00:00:00:01': a group address names no single device\n"
     "line 4: bad IP address '198.18.0'\n"
     "line 5: bad netmask '255.255.255.0.0'\n"
     "line 6: bad dhcp 'maybe' (0, 1, yes, no, true or false)\n"
     "line 7: expected mac,ip,netmask[,dhcp]\n"
     "line 8: bad dhcp '' (0, 1, yes, no, true or false)\n"
     "line 10: bad MAC 'mac'\n"},
    // A control byte is shown as '?', so the line stays one line.
    {"02:aa:00:00:00:01,198.18.0.10,255.255.255.0\0,1\n02:aa:00:00:00:02,198.18.0.1\n0,"
     "255.255.255.0\n"sv,
     -1, "",
     "line 1: bad netmask '255.255.255.0?'\nline 2: expected mac,ip,netmask[,dhcp]\n"
     "line 3: expected mac,ip,netmask[,dhcp]\n"},
    {"", 0, "", ""},
};

class ParsePlan : public testing::TestWithParam<size_t>
{
};

TEST_P(ParsePlan, GivesItsRowsOrNamesEveryBadLine)
{
    const ParseCase &c = PARSE_CASES[GetParam()];
    std::vector<PlanRow> rows;
    std::vector<std::string> errors;
    const int result = parse_plan_text(c.text.data(), c.text.size(), &rows, &errors);
    std::string error_text;
    for (const std::string &error : errors)
        error_text += error + "\n";
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(error_text, c.errors);
    EXPECT_EQ(rows_text(rows), c.rows);
}

INSTANTIATE_TEST_SUITE_P(Texts, ParsePlan, testing::Range<size_t>(0, std::size(PARSE_CASES)));

TEST(ReadPlanFile, SaysWhenTheFileCannotBeRead)
{
    std::vector<PlanRow> rows;
    std::vector<std::string> errors;
    EXPECT_EQ(read_plan_file("/nonexistent/plan.csv", &rows, &errors), -1);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0], "cannot read '/nonexistent/plan.csv': No such file or directory");
}

struct CountCase {
    const char *first;
    const char *netmask;
    int macs;
    const char *rows;
};

const CountCase COUNT_CASES[] = {
    // Held by another device: skipped; held by the row's own device: kept.
    // The network address is skipped from the start.
    {"198.18.0.0", "255.255.255.0", 3,
     "01 198.18.0.1 255.255.255.0 0 @0 0\n02 198.18.0.3 255.255.255.0 0 @0 0\n"
     "03 198.18.0.4 255.255.255.0 0 @0 0\n"},
    // The broadcast address is skipped, and past the end there is none.
    {"198.18.0.253", "255.255.255.0", 3,
     "01 198.18.0.253 255.255.255.0 0 @0 0\n02 198.18.0.254 255.255.255.0 0 @0 0\n"
     "03 0.0.0.0 255.255.255.0 0 @0 80\n"},
    // A /31 has no network or broadcast address of its own; nor does the
    // count wrap at the top of the address space.
    {"198.18.7.0", "255.255.255.254", 3,
     "01 198.18.7.0 255.255.255.254 0 @0 0\n02 198.18.7.1 255.255.255.254 0 @0 0\n"
     "03 0.0.0.0 255.255.255.254 0 @0 80\n"},
    {"255.255.255.255", "255.255.255.255", 2,
     "01 255.255.255.255 255.255.255.255 0 @0 0\n02 0.0.0.0 255.255.255.255 0 @0 80\n"},
};

class CountPlan : public testing::TestWithParam<size_t>
{
};

TEST_P(CountPlan, SkipsWhatIsHeldAndStopsAtTheSubnetsEnd)
{
    const CountCase &c = COUNT_CASES[GetParam()];
    const ether_addr macs[] = {mac(1), mac(2), mac(3)};
    const HeldAddress held[] = {
        {mac(1), ip("198.18.0.1")}, {mac(9), ip("198.18.0.2")}, {mac(3), ip("198.18.0.4")}};
    std::vector<PlanRow> rows;
    count_plan(macs, c.macs, ip(c.first), ip(c.netmask), held, 3, &rows);
    EXPECT_EQ(rows_text(rows), c.rows);
}

INSTANTIATE_TEST_SUITE_P(Ranges, CountPlan, testing::Range<size_t>(0, std::size(COUNT_CASES)));

// What the command line's plans cannot reach: a device found on a named
// interface is checked against that interface's subnet; a device keeps the
// address it holds itself; a counted row past the end and a DHCP row are not
// bad addresses; the same MAC twice is a duplicate; and an earlier check's
// problems do not stick.
TEST(CheckPlan, FlagsEachProblemOnItsRow)
{
    std::vector<LocateResult> located;
    for (int last : {1, 2, 3, 4}) {
        DiscoveredDevice device{};
        device.entry.mac = mac(last);
        device.source = ip("198.18.0.101");
        if (last == 4) {
            std::strcpy(device.where.name, "eth9");
            device.where.addr = ip("198.18.5.1");
            device.source = ip("198.18.5.7");
        }
        located.push_back({mac(last), LOCATE_MISSING, {}});
        locate_add_match(&located.back(), device);
    }
    struct Expected {
        int mac;
        const char *ip, *netmask;
        bool dhcp;
        unsigned problems;
    };
    const Expected expected[] = {
        {1, "198.18.0.20", "255.255.255.0", false, PLAN_DUPLICATE},
        {2, "0.0.0.0", "255.255.255.0", false, PLAN_PAST_SUBNET_END},
        {3, "0.0.0.0", "0.0.0.0", true, 0},
        {4, "198.18.0.50", "255.255.255.0", false, PLAN_OUTSIDE_SUBNET},
        {1, "198.18.0.60", "255.255.255.0", false, PLAN_DUPLICATE},
    };
    std::vector<PlanRow> rows;
    for (const Expected &e : expected) {
        PlanRow row{};
        row.mac = mac(e.mac);
        row.ip = ip(e.ip);
        row.netmask = ip(e.netmask);
        row.dhcp = e.dhcp;
        row.problems = e.problems & PLAN_PAST_SUBNET_END; // as count_plan leaves it
        rows.push_back(row);
    }
    rows[2].problems = PLAN_ADDRESS_TAKEN; // from an earlier check
    const HeldAddress held[] = {{mac(1), ip("198.18.0.20")}};
    LocalAddress lo{}, eth9{};
    std::strcpy(lo.where.name, "lo");
    lo.where.addr = ip("198.18.0.1");
    lo.netmask = ip("255.255.255.0");
    std::strcpy(eth9.where.name, "eth9");
    eth9.where.addr = ip("198.18.5.1");
    eth9.netmask = ip("255.255.255.0");

    EXPECT_EQ(check_plan(&rows, located, held, 1, {lo, eth9}), 1);
    for (size_t i = 0; i < rows.size(); ++i)
        EXPECT_EQ(rows[i].problems, expected[i].problems) << "row " << i;
    EXPECT_TRUE(rows[3].located);
    EXPECT_EQ(rows[3].device.source.s_addr, ip("198.18.5.7").s_addr);
}

TEST(PlanProblems, TextsStayInTheirBuffer)
{
    char text[64];
    EXPECT_STREQ(plan_problems_text(PLAN_ADDRESS_TAKEN | PLAN_NOT_FOUND, text, sizeof(text)),
                 "address taken, MAC not found");
    char small[20];
    std::memset(small, 'x', sizeof(small));
    plan_problems_text(~0u, small, sizeof(small));
    EXPECT_LT(std::strlen(small), sizeof(small));
    EXPECT_EQ(plan_problem_text(PLAN_ADDRESS_TAKEN | PLAN_NOT_FOUND), nullptr);
}

} // namespace
