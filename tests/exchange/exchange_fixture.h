// Common ground of the exchange tests: a scratch directory, a simulated
// device program logging into it, and no descriptor left open at the end.
#pragma once

#include "discover.h"
#include "sim_process.h"

#include <gtest/gtest.h>
#include <string>

// Table-driven cases take their row's index as parameter.
class ExchangeTest : public testing::TestWithParam<size_t>
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

  private:
    int descriptors_ = 0;
};

in_addr ipv4(const char *text);
ether_addr mac(const char *text);
std::string ipv4_text(in_addr addr);
