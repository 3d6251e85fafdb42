// SPDX-License-Identifier: GPL-3.0-or-later
// The command line of the simulated device program.
#pragma once

#include <cstdint>
#include <netinet/in.h>
#include <vector>

struct SimOptions {
    const char *log_path = nullptr; // null: standard output
    uint32_t generated = 0;
    in_addr first{};
    int delay_max_ms = 0;
    unsigned seed = 0;
    bool seeded = false;
    bool trust_namespace = false;
    int ready_fd = -1; // told "ready" once the devices answer, then closed
    std::vector<const char *> device_descriptions;
};

// Fills opts; prints usage or one error line on stderr and returns false
// when the command line is not usable.
bool parse_options(int argc, char **argv, SimOptions *opts);

// A decimal number from 0 to max, digits only; false for anything else.
bool parse_number(const char *text, uint64_t max, uint64_t *out);

template <typename T> bool parse_number(const char *text, uint64_t max, T *out)
{
    uint64_t n = 0;
    if (!parse_number(text, max, &n))
        return false;
    *out = static_cast<T>(n);
    return true;
}
