// SPDX-License-Identifier: GPL-3.0-or-later
// The fleet library against simulated devices: one run locates many MACs,
// batches end as asked, verification and plans see what the devices did.
#include "batch_install.h"
#include "exchange_fixture.h"
#include "locate.h"
#include "verify.h"

#include <chrono>
#include <set>

namespace
{

const DiscoverInterface ANY{};

ether_addr mac(int last)
{
    return {{0x02, 0xaa, 0, 0, 0, static_cast<uint8_t>(last)}};
}

// "02:aa:00:00:00:0N" for the device logs.
std::string mac_log(int last)
{
    char text[18];
    std::snprintf(text, sizeof(text), "02:aa:00:00:00:%02x", last);
    return text;
}

class FleetTest : public ExchangeTest
{
  protected:
    std::vector<LocateResult> locate(const std::vector<int> &lasts, bool early = false,
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
    std::set<std::string> discover_sessions() const
    {
        std::set<std::string> sessions;
        for (const std::string &line : sim_.lines_of("discover "))
            sessions.insert(log_field(line, "session"));
        return sessions;
    }
};

TEST_F(FleetTest, OneRunFindsEachMacOnceMissingOrAmbiguous)
{
    ASSERT_TRUE(
        start_sim({"addr=127.2.0.1,mac=02:aa:00:00:00:01", "addr=127.2.0.2,mac=02:aa:00:00:00:02",
                   "addr=127.2.0.3,mac=02:aa:00:00:00:02,delay=300",
                   "addr=127.2.0.4,mac=02:aa:00:00:00:04,delay=1000"}));
    std::vector<DiscoveredDevice> heard;
    const std::vector<LocateResult> found = locate({1, 2, 9, 4, 1}, false, &heard);
    ASSERT_EQ(found.size(), 5u);
    const LocateState want[] = {LOCATE_FOUND, LOCATE_AMBIGUOUS, LOCATE_MISSING, LOCATE_FOUND,
                                LOCATE_FOUND};
    for (size_t i = 0; i < found.size(); ++i)
        EXPECT_EQ(found[i].state, want[i]) << i;
    EXPECT_EQ(dotted(found[0].matches.front().source), "127.2.0.1");
    EXPECT_EQ(found[1].matches.size(), 2u);
    EXPECT_EQ(heard.size(), 4u);
    EXPECT_EQ(discover_sessions().size(), 1u) << "one run for every MAC";

    // Narrowed to one of the clones' addresses, it is one device again.
    LocateResult clones = found[1];
    locate_narrow(&clones, in_addr{inet_addr("127.2.0.3")});
    EXPECT_EQ(clones.state, LOCATE_FOUND);
    EXPECT_EQ(dotted(clones.matches.front().source), "127.2.0.3");

    // Asked to end once every MAC answered, a run does not wait for the
    // late device, and misses the clone that answers after the first.
    heard.clear();
    const std::vector<LocateResult> early = locate({1, 2}, true, &heard);
    EXPECT_EQ(early[0].state, LOCATE_FOUND);
    EXPECT_EQ(early[1].state, LOCATE_FOUND);
    EXPECT_EQ(heard.size(), 2u);
}

enum class StopAt { FinishOnFirstStart, AbortOnProgress };

struct BatchCase {
    const char *name;
    std::vector<std::string> devices; // their MACs end in 1, 2, 3, ...
    int parallel;
    size_t image;
    StopAt stop;
    std::vector<std::string> stages; // per device: done, cancelled, - (not started)
};

const BatchCase BATCH_CASES[] = {
    {"FinishEndsTheUploadUnderWay",
     {"", "", ""},
     1,
     100000,
     StopAt::FinishOnFirstStart,
     {"done", "-", "-"}},
    // Stalled uploads would take 30 s to give up by themselves.
    {"AbortCancelsUploadsUnderWay",
     {",stall-after=100000", ",stall-after=100000", ""},
     2,
     16 << 20,
     StopAt::AbortOnProgress,
     {"cancelled", "cancelled", "-"}},
};

// What the callbacks saw, from the workers' threads.
struct Seen {
    BatchControl *control;
    StopAt stop;
    std::mutex lock;
    std::vector<int> started, finished;
    std::map<int, uint64_t> sent;
};

class BatchTest : public FleetTest
{
};

TEST_P(BatchTest, EndsAsAsked)
{
    const BatchCase &c = BATCH_CASES[GetParam()];
    std::vector<std::string> devices;
    std::vector<int> lasts;
    for (size_t i = 0; i < c.devices.size(); ++i) {
        devices.push_back("addr=127.2.0." + std::to_string(i + 1) + ",mac=" + mac_log(i + 1) +
                          c.devices[i]);
        lasts.push_back(static_cast<int>(i + 1));
    }
    ASSERT_TRUE(start_sim(devices));
    std::vector<DiscoveredDevice> targets;
    for (const LocateResult &found : locate(lasts, true))
        targets.push_back(found.matches.front());
    const std::string image = write_file("image", image_bytes(c.image));

    BatchControl control;
    Seen seen{&control, c.stop, {}, {}, {}, {}};
    BatchInstallOptions options{};
    options.parallel = c.parallel;
    options.callbacks.context = &seen;
    options.callbacks.started = [](void *context, int index) {
        Seen *s = static_cast<Seen *>(context);
        std::lock_guard<std::mutex> hold(s->lock);
        s->started.push_back(index);
        if (s->stop == StopAt::FinishOnFirstStart)
            batch_request_stop(s->control, BATCH_FINISH);
    };
    options.callbacks.progress = [](void *context, int index, uint64_t sent, uint64_t) {
        Seen *s = static_cast<Seen *>(context);
        std::lock_guard<std::mutex> hold(s->lock);
        s->sent[index] = sent;
        // Both stalling uploads under way, and neither can end by itself.
        if (s->stop == StopAt::AbortOnProgress && sent >= (1 << 20) && s->sent.size() == 2)
            batch_request_stop(s->control, BATCH_ABORT);
    };
    options.callbacks.finished = [](void *context, int index, const ExchangeReport &) {
        Seen *s = static_cast<Seen *>(context);
        std::lock_guard<std::mutex> hold(s->lock);
        s->finished.push_back(index);
    };
    std::vector<BatchResult> results(targets.size());
    const auto started = std::chrono::steady_clock::now();
    const int done = batch_install(targets.data(), static_cast<int>(targets.size()), image.c_str(),
                                   &options, &control, results.data());
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(20));

    std::vector<std::string> stages;
    for (const BatchResult &result : results)
        stages.push_back(!result.started                          ? "-"
                         : result.report.stage == STAGE_DONE      ? "done"
                         : result.report.stage == STAGE_CANCELLED ? "cancelled"
                                                                  : "other");
    EXPECT_EQ(stages, c.stages);
    EXPECT_EQ(done, std::count(stages.begin(), stages.end(), "done"));
    // Nothing is asked of a device that was not started; each started one
    // is finished once, and a done one was seen through to its last byte.
    const size_t unstarted = std::count(stages.begin(), stages.end(), "-");
    EXPECT_EQ(sim_.lines_of("install ").size(), stages.size() - unstarted);
    std::sort(seen.finished.begin(), seen.finished.end());
    EXPECT_EQ(seen.started, seen.finished);
    if (stages[0] == "done") {
        EXPECT_EQ(seen.sent[0], c.image);
    }
    // A second try takes the ones that did not get the image, in order.
    std::vector<DiscoveredDevice> again;
    EXPECT_EQ(batch_failed_devices(targets.data(), results.data(), static_cast<int>(results.size()),
                                   &again),
              static_cast<int>(results.size()) - done);
    EXPECT_EQ(std::memcmp(&again.back().entry.mac, &targets.back().entry.mac, 6), 0);
}

INSTANTIATE_TEST_SUITE_P(Stops, BatchTest, testing::Range<size_t>(0, std::size(BATCH_CASES)),
                         [](const testing::TestParamInfo<size_t> &info) {
                             return BATCH_CASES[info.param].name;
                         });

TEST_F(FleetTest, BatchRefusesWhatCannotGoWithoutSending)
{
    ASSERT_TRUE(start_sim({"addr=127.2.0.1,mac=02:aa:00:00:00:01"}));
    const std::vector<LocateResult> found = locate({1}, true);
    const std::string image = write_file("image", "x");
    BatchResult result{};
    BatchInstallOptions options{};
    for (int parallel : {-1, 33}) {
        options.parallel = parallel;
        EXPECT_EQ(
            batch_install(&found[0].matches.front(), 1, image.c_str(), &options, nullptr, &result),
            -1);
    }
    options.parallel = 1;
    EXPECT_EQ(batch_install(&found[0].matches.front(), 1, path("missing").c_str(), &options,
                            nullptr, &result),
              -1);
    EXPECT_TRUE(sim_.lines_of("install ").empty());
}

TEST_F(FleetTest, VerifyTellsWhoCameBackAndWithWhichFirmware)
{
    ASSERT_TRUE(start_sim({"addr=127.2.0.1,mac=02:aa:00:00:00:01,fw=v2",
                           "addr=127.2.0.2,mac=02:aa:00:00:00:02,fw=v1",
                           "addr=127.2.0.3,mac=02:aa:00:00:00:03,answer=none"}));
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
    EXPECT_GE(discover_sessions().size(), 2u) << "asked again for the missing one";

    // When all are back after the first run, there is no second.
    const size_t sessions = discover_sessions().size();
    options.deadline_ms = 60000;
    EXPECT_EQ(verify_devices(&ANY, 1, before.data(), 2, &options, results), 2);
    EXPECT_EQ(discover_sessions().size(), sessions + 1);
}

} // namespace
