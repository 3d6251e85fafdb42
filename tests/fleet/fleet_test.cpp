// SPDX-License-Identifier: GPL-3.0-or-later
// The fleet library against simulated devices: one run locates many MACs, a
// batch ends as asked and tells its callbacks, verification sees who came
// back. The command-line tests cover the rest through devscout-cli.
#include "batch_install.h"
#include "exchange_fixture.h"
#include "locate.h"
#include "verify.h"

#include <mutex>
#include <set>

namespace
{

const DiscoverInterface ANY{};

ether_addr mac(int last)
{
    return {{0x02, 0xaa, 0, 0, 0, static_cast<uint8_t>(last)}};
}

// Device n (1 to 9) at 127.2.0.n with MAC 02:aa:00:00:00:0n, and more keys.
std::string device(int n, const std::string &more = "")
{
    const std::string digit = std::to_string(n);
    return "addr=127.2.0." + digit + ",mac=02:aa:00:00:00:0" + digit + more;
}

class FleetTest : public ExchangeTest
{
  protected:
    std::vector<LocateResult> locate(const std::vector<int> &lasts, bool early,
                                     std::vector<DiscoveredDevice> *heard = nullptr)
    {
        std::vector<ether_addr> macs;
        for (int last : lasts)
            macs.push_back(mac(last));
        LocateOptions options{};
        options.end_when_all_answered = early;
        std::vector<LocateResult> out;
        EXPECT_EQ(locate_devices(&ANY, 1, macs.data(), static_cast<int>(macs.size()), &options,
                                 &out, heard),
                  0);
        return out;
    }
    // The sessions of the discovery requests the devices answered.
    size_t discover_sessions() const
    {
        std::set<std::string> sessions;
        for (const std::string &line : sim_.lines_of("discover "))
            sessions.insert(log_field(line, "session"));
        return sessions.size();
    }
};

TEST_F(FleetTest, OneRunFindsEachMacOnceMissingOrAmbiguous)
{
    ASSERT_TRUE(start_sim({device(1), device(2), "addr=127.2.0.3,mac=02:aa:00:00:00:02,delay=300",
                           device(4, ",delay=1000")}));
    std::vector<DiscoveredDevice> heard;
    const std::vector<LocateResult> found = locate({1, 2, 9, 4, 1}, false, &heard);
    std::vector<LocateState> states;
    for (const LocateResult &result : found)
        states.push_back(result.state);
    EXPECT_EQ(states, (std::vector{LOCATE_FOUND, LOCATE_AMBIGUOUS, LOCATE_MISSING, LOCATE_FOUND,
                                   LOCATE_FOUND}));
    EXPECT_EQ(dotted(found[0].matches.front().source), "127.2.0.1");
    EXPECT_EQ(heard.size(), 4u);
    EXPECT_EQ(discover_sessions(), 1u) << "one run for every MAC";

    // Asked to end once every MAC answered, a run does not wait for the
    // late device, and misses the clone that answers after the first.
    heard.clear();
    const std::vector<LocateResult> early = locate({1, 2}, true, &heard);
    EXPECT_EQ(early[1].state, LOCATE_FOUND);
    EXPECT_EQ(heard.size(), 2u);
}

// What the callbacks saw, from the workers' threads.
struct Seen {
    BatchControl control;
    std::mutex lock;
    std::vector<int> started, finished;
    uint64_t sent = 0;
};

// Asked to finish as the first upload starts, the batch sees it through and
// starts no other; a second try takes the rest. What cannot go sends nothing.
TEST_F(FleetTest, BatchFinishesWhatIsUnderWay)
{
    ASSERT_TRUE(start_sim({device(1), device(2), device(3)}));
    std::vector<DiscoveredDevice> targets;
    for (const LocateResult &found : locate({1, 2, 3}, true))
        targets.push_back(found.matches.front());
    const std::string image = write_file("image", image_bytes(100000));
    std::vector<BatchResult> results(targets.size());
    BatchInstallOptions options{};
    for (int parallel : {-1, 33}) {
        options.parallel = parallel;
        EXPECT_EQ(
            batch_install(targets.data(), 3, image.c_str(), &options, nullptr, results.data()), -1);
    }
    options.parallel = 1;
    EXPECT_EQ(batch_install(targets.data(), 3, path("missing").c_str(), &options, nullptr,
                            results.data()),
              -1);
    EXPECT_TRUE(sim_.lines_of("install ").empty());

    Seen seen;
    options.callbacks.context = &seen;
    options.callbacks.started = [](void *context, int index) {
        Seen *s = static_cast<Seen *>(context);
        std::lock_guard<std::mutex> hold(s->lock);
        s->started.push_back(index);
        batch_request_stop(&s->control, BATCH_FINISH);
    };
    options.callbacks.progress = [](void *context, int, uint64_t sent, uint64_t) {
        static_cast<Seen *>(context)->sent = sent;
    };
    options.callbacks.finished = [](void *context, int index, const ExchangeReport &) {
        Seen *s = static_cast<Seen *>(context);
        std::lock_guard<std::mutex> hold(s->lock);
        s->finished.push_back(index);
    };
    EXPECT_EQ(
        batch_install(targets.data(), 3, image.c_str(), &options, &seen.control, results.data()),
        1);
    EXPECT_EQ(results[0].report.stage, STAGE_DONE);
    EXPECT_FALSE(results[1].started);
    EXPECT_FALSE(results[2].started);
    EXPECT_EQ(sim_.lines_of("install ").size(), 1u);
    EXPECT_EQ(seen.started, std::vector{0});
    EXPECT_EQ(seen.finished, std::vector{0});
    EXPECT_EQ(seen.sent, 100000u);
    std::vector<DiscoveredDevice> again;
    EXPECT_EQ(batch_failed_devices(targets.data(), results.data(), 3, &again), 2);
    EXPECT_EQ(std::memcmp(&again.back().entry.mac, &targets.back().entry.mac, 6), 0);
}

TEST_F(FleetTest, VerifyTellsWhoCameBackAndWithWhichFirmware)
{
    ASSERT_TRUE(start_sim({device(1, ",fw=v2"), device(2, ",fw=v1"), device(3, ",answer=none")}));
    std::vector<DiscoveredDevice> before(3);
    for (int i = 0; i < 3; ++i) {
        before[i].entry.mac = mac(i + 1);
        std::strcpy(before[i].entry.firmware, "v1");
    }
    VerifyOptions options{};
    options.interval_ms = 1000;
    options.deadline_ms = 2500;
    options.first_ask_ms = 0;
    VerifyResult results[3];
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(verify_devices(&ANY, 1, before.data(), 3, &options, results), 2);
    // Runs every second until the deadline: the last starts before it and
    // ends at the 2 s silence.
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(8));
    EXPECT_EQ(results[0].state, VERIFY_BACK);
    EXPECT_TRUE(results[0].firmware_changed);
    EXPECT_STREQ(results[0].answer.entry.firmware, "v2");
    EXPECT_EQ(results[1].state, VERIFY_BACK);
    EXPECT_FALSE(results[1].firmware_changed);
    EXPECT_EQ(results[2].state, VERIFY_NOT_BACK);
    EXPECT_GE(discover_sessions(), 2u) << "asked again for the missing one";

    // When all are back after the first run, there is no second.
    const size_t sessions = discover_sessions();
    options.deadline_ms = 60000;
    EXPECT_EQ(verify_devices(&ANY, 1, before.data(), 2, &options, results), 2);
    EXPECT_EQ(discover_sessions(), sessions + 1);
}

} // namespace
