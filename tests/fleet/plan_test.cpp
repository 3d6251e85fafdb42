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

// Every kind of problem, each on the row it belongs to, and none on the
// rows that are right.
TEST(CheckPlan, FlagsEachProblemOnItsRow)
{
    auto found = [](int last, const char *name, const char *local, const char *source) {
        DiscoveredDevice device{};
        device.entry.mac = mac(last);
        std::strncpy(device.where.name, name, sizeof(device.where.name) - 1);
        device.where.addr = ip(local);
        device.source = ip(source);
        return device;
    };
    std::vector<LocateResult> located;
    for (int last : {1, 2, 5, 6, 7, 8, 9, 10, 11}) {
        located.push_back({mac(last), LOCATE_MISSING, {}});
        locate_add_match(&located.back(), found(last, "", "0.0.0.0", "198.18.0.101"));
    }
    located.push_back({mac(3), LOCATE_MISSING, {}});
    locate_add_match(&located.back(), found(3, "", "0.0.0.0", "198.18.0.103"));
    locate_add_match(&located.back(), found(3, "", "0.0.0.0", "198.18.0.104"));
    located.push_back({mac(4), LOCATE_MISSING, {}});
    located.push_back({mac(12), LOCATE_MISSING, {}});
    locate_add_match(&located.back(), found(12, "eth9", "198.18.5.1", "198.18.5.7"));
    ASSERT_EQ(located[9].state, LOCATE_AMBIGUOUS);

    struct Expected {
        int mac;
        const char *ip;
        const char *netmask;
        bool dhcp;
        unsigned problems;
    };
    const Expected expected[] = {
        {1, "198.18.0.20", "255.255.255.0", false, 0},
        {2, "198.18.0.30", "255.255.255.0", false, PLAN_ADDRESS_TAKEN},
        {3, "198.18.0.21", "255.255.255.0", false, PLAN_AMBIGUOUS},
        {4, "198.18.0.22", "255.255.255.0", false, PLAN_NOT_FOUND},
        {5, "10.0.0.5", "255.255.255.0", false, PLAN_OUTSIDE_SUBNET},
        {6, "198.18.0.40", "255.255.255.0", false, PLAN_DUPLICATE},
        {7, "198.18.0.40", "255.255.255.0", false, PLAN_DUPLICATE},
        {8, "198.18.0.255", "255.255.255.0", false, PLAN_BAD_ADDRESS},
        {9, "198.18.0.41", "255.0.255.0", false, PLAN_BAD_NETMASK},
        {10, "0.0.0.0", "255.255.255.0", false, PLAN_PAST_SUBNET_END},
        {11, "0.0.0.0", "0.0.0.0", true, 0},
        // Found on a named interface: its own subnet counts.
        {12, "198.18.0.50", "255.255.255.0", false, PLAN_OUTSIDE_SUBNET},
        // The same MAC twice.
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
    rows[0].problems = PLAN_ADDRESS_TAKEN; // left over from an earlier check: cleared
    const HeldAddress held[] = {{mac(99), ip("198.18.0.30")}, {mac(1), ip("198.18.0.20")}};
    LocalAddress lo{}, eth9{};
    std::strcpy(lo.where.name, "lo");
    lo.where.addr = ip("198.18.0.1");
    lo.netmask = ip("255.255.255.0");
    std::strcpy(eth9.where.name, "eth9");
    eth9.where.addr = ip("198.18.5.1");
    eth9.netmask = ip("255.255.255.0");

    const int clean = check_plan(&rows, located, held, 2, {lo, eth9});
    // Rows 0 and 12 share a MAC: both are duplicates.
    EXPECT_EQ(clean, 1);
    for (size_t i = 0; i < rows.size(); ++i) {
        const unsigned want = i == 0 ? PLAN_DUPLICATE : expected[i].problems;
        EXPECT_EQ(rows[i].problems, want) << "row " << i;
        EXPECT_EQ(rows[i].located, !(want & (PLAN_NOT_FOUND | PLAN_AMBIGUOUS))) << "row " << i;
    }
    EXPECT_EQ(rows[11].device.source.s_addr, ip("198.18.5.7").s_addr);
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
