// Common ground of the exchange tests: a scratch directory, a simulated
// device program logging into it, and the descriptor count of this process.
#pragma once

#include "discover.h"
#include "sim_process.h"

#include <gtest/gtest.h>
#include <string>

class ExchangeTest : public testing::Test
{
  protected:
    void SetUp() override;
    void TearDown() override;

    std::string path(const std::string &name) const { return dir_ + "/" + name; }
    testing::AssertionResult start_sim(const std::vector<std::string> &devices)
    {
        return sim_.start(path("sim.log"), devices);
    }

    std::string dir_;
    SimProcess sim_;
};

in_addr ipv4(const char *text);
ether_addr mac(const char *text);
std::string ipv4_text(in_addr addr);
int open_descriptors();
