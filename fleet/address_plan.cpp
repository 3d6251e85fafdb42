// SPDX-License-Identifier: GPL-3.0-or-later
#include "address_plan.h"

const char *plan_problem_text(unsigned)
{
    return nullptr;
}

const char *plan_problems_text(unsigned, char *out, size_t size)
{
    if (size > 0)
        out[0] = '\0';
    return out;
}

int parse_plan_text(const char *, size_t, std::vector<PlanRow> *, std::vector<std::string> *)
{
    return -1;
}

int read_plan_file(const char *, std::vector<PlanRow> *, std::vector<std::string> *)
{
    return -1;
}

void count_plan(const ether_addr *, int, in_addr, in_addr, const HeldAddress *, int,
                std::vector<PlanRow> *)
{
}

void held_addresses(const std::vector<DiscoveredDevice> &, std::vector<HeldAddress> *) {}

int check_plan(std::vector<PlanRow> *, const std::vector<LocateResult> &, const HeldAddress *, int,
               const std::vector<LocalAddress> &)
{
    return 0;
}
