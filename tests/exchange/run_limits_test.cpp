// SPDX-License-Identifier: GPL-3.0-or-later
// When waits end on a busy network: a run ends 2 s after its last new device
// however much else keeps arriving, and at its limit however many new
// devices do; a setup's reply wait ends 2 s after its request.
#include "exchange_fixture.h"

#include <chrono>
#include <set>

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using RunLimitsTest = ExchangeTest;

static bool contains(const std::string &text, const std::string &needle)
{
    return text.find(needle) != std::string::npos;
}

TEST_F(RunLimitsTest, ChatterNeitherKeepsARunNorAReplyWaitGoing)
{
    // Every reply sent again every 50 ms: a valid one, junk, and a foreign
    // session; the last two answer setups for any MAC, but never properly.
    // A silent device floods each request with junk besides.
    ASSERT_TRUE(start_sim({"addr=127.0.0.2,setup=none,repeat=50",
                           "addr=127.0.0.3,claim=echo,reply=malformed,repeat=50",
                           "addr=127.0.0.4,claim=echo,session=other,repeat=50",
                           "addr=127.0.0.5,answer=none,setup=none,flood=10000"}));
    Clock::time_point start = Clock::now();
    const Outcome found = run({DiscoverInterface{}});
    EXPECT_LT(Clock::now() - start, milliseconds(4000));
    EXPECT_EQ(found.result, 0);
    ASSERT_EQ(found.devices.size(), 1u);
    EXPECT_EQ(dotted(found.devices.begin()->second.source), "127.0.0.2");
    EXPECT_TRUE(contains(found.err, "read_discover_packet: timeout\n")) << found.err;
    for (const char *device : {"127.0.0.2", "127.0.0.3", "127.0.0.4"})
        EXPECT_GE(sim_.lines_of(std::string("repeat device=") + device).size(), 10u) << device;

    start = Clock::now();
    const Outcome answer = setup("02:00:7f:00:00:02");
    EXPECT_LT(Clock::now() - start, milliseconds(4000));
    EXPECT_EQ(answer.result, -1);
    EXPECT_EQ(answer.report.stage, STAGE_NO_REPLY);
    EXPECT_EQ(answer.report.error, EAGAIN);
    EXPECT_TRUE(contains(answer.err, "read_discover_packet: timeout\n")) << answer.err;
    int setup_repeats = 0;
    for (const std::string &line : sim_.lines_of("repeat "))
        setup_repeats += log_field(line, "type") == std::to_string(SETUP_REPLY);
    EXPECT_GE(setup_repeats, 20);
}

TEST_F(RunLimitsTest, RunStopsAtItsLimitThoughNewDevicesKeepComing)
{
    // No gap of 2 s between new devices: only the limit ends this run.
    ASSERT_TRUE(start_sim({"addr=127.0.0.2", "addr=127.0.0.3,delay=400",
                           "addr=127.0.0.4,delay=1600", "addr=127.0.0.5,delay=2400",
                           "addr=127.0.0.6,delay=3200", "addr=127.0.0.7,delay=4000"}));
    const Clock::time_point start = Clock::now();
    const Outcome found = run({DiscoverInterface{}}, 1000);
    EXPECT_LT(Clock::now() - start, milliseconds(3000));
    EXPECT_EQ(found.result, 0);
    EXPECT_TRUE(contains(found.err, "discover_run: stopped at the run's limit of 1000 ms\n"))
        << found.err;
    EXPECT_FALSE(contains(found.err, "read_discover_packet: timeout\n")) << found.err;
    std::set<std::string> sources;
    for (const auto &[key, device] : found.devices)
        sources.insert(dotted(device.source));
    EXPECT_EQ(sources, (std::set<std::string>{"127.0.0.2", "127.0.0.3"}));
}
