// SPDX-License-Identifier: GPL-3.0-or-later
// devscout-cli on many devices at once: per-device outcomes in lines and in
// JSON, what the devices were sent, and the exit status.
#include "cli_fixture.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <map>

namespace
{

// Per MAC: what the JSON says (outcome, verify, firmware_after, ...), or the
// text line after the MAC.
using PerDevice = std::map<std::string, std::map<std::string, std::string>>;

PerDevice from_json(const std::string &out, bool *parsed)
{
    PerDevice devices;
    const QJsonDocument document = QJsonDocument::fromJson(QByteArray::fromStdString(out));
    *parsed = document.isArray();
    for (const QJsonValue &value : document.array()) {
        const QJsonObject object = value.toObject();
        auto &fields = devices[object["mac"].toString().toStdString()];
        for (auto it = object.begin(); it != object.end(); ++it)
            fields[it.key().toStdString()] =
                it.value().isNull()    ? "null"
                : it.value().isArray() ? QJsonDocument(it.value().toArray())
                                             .toJson(QJsonDocument::Compact)
                                             .toStdString()
                : it.value().isDouble() ? std::to_string(it.value().toInteger())
                : it.value().isBool()   ? (it.value().toBool() ? "true" : "false")
                                        : it.value().toString().toStdString();
    }
    return devices;
}

std::map<std::string, std::string> from_lines(const std::string &out)
{
    std::map<std::string, std::string> lines;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);)
        lines[line.substr(0, 17)] = line.substr(17);
    return lines;
}

// The most uploads the devices had open at once: from an accepted install
// request to the end of its upload.
size_t most_at_once(const std::vector<std::string> &log)
{
    std::set<std::string> open;
    size_t most = 0;
    for (const std::string &line : log) {
        if (line.rfind("install ", 0) == 0 && log_field(line, "result") == "2")
            open.insert(log_field(line, "device"));
        else if (line.rfind("upload ", 0) == 0)
            open.erase(log_field(line, "device"));
        most = std::max(most, open.size());
    }
    return most;
}

// Accept, refuse, cut the upload, never come back, share a MAC (06), share
// an address (08-0a; 0a restarts half a second after its upload, so asking at
// once would find it unchanged); 0b answers nowhere.
const std::vector<std::string> INSTALL_FLEET = {
    "addr=127.2.0.1,mac=02:aa:00:00:00:01,fw=v1,fw-after-install=v2",
    "addr=127.2.0.2,mac=02:aa:00:00:00:02,fw=v1,fw-after-install=v2",
    "addr=127.2.0.3,mac=02:aa:00:00:00:03,install=1",
    "addr=127.2.0.4,mac=02:aa:00:00:00:04,reset-after=5000",
    "addr=127.2.0.5,mac=02:aa:00:00:00:05,fw=v1,after-install=gone",
    "addr=127.2.0.6,mac=02:aa:00:00:00:06",
    "addr=127.2.0.7,mac=02:aa:00:00:00:06",
    "addr=127.2.0.8,mac=02:aa:00:00:00:08,ip=127.2.0.100,fw=v1",
    "addr=127.2.0.9,mac=02:aa:00:00:00:09,ip=127.2.0.100,fw=v1",
    "addr=127.2.0.10,mac=02:aa:00:00:00:0a,ip=127.2.0.100,fw=v1,fw-after-install=v2,"
    "restart-after=500",
};
const char INSTALL_MACS[] = "02:aa:00:00:00:01 02:aa:00:00:00:02 02:aa:00:00:00:03 "
                            "02:aa:00:00:00:04 02:aa:00:00:00:05 02:aa:00:00:00:06 "
                            "02:aa:00:00:00:08 02:aa:00:00:00:09 02:aa:00:00:00:0a "
                            "02:aa:00:00:00:0b";

struct InstallExpected {
    const char *mac;
    const char *outcome; // JSON's
    const char *verify;  // JSON's, with --verify
    const char *line;    // the text line after the MAC, up to its end or to "..."
};

const InstallExpected INSTALL_EXPECTED[] = {
    {"02:aa:00:00:00:01", "done", "came back",
     " (127.2.0.1): done, 100000 bytes; came back, firmware v1 \u2192 v2"},
    {"02:aa:00:00:00:02", "done", "came back",
     " (127.2.0.2): done, 100000 bytes; came back, firmware v1 \u2192 v2"},
    {"02:aa:00:00:00:03", "refused", "null", " (127.2.0.3): refused: install forbidden"},
    {"02:aa:00:00:00:04", "failed", "null", " (127.2.0.4): failed: upload failed after ..."},
    {"02:aa:00:00:00:05", "done", "did not come back",
     " (127.2.0.5): done, 100000 bytes; did not come back"},
    {"02:aa:00:00:00:06", "ambiguous", "null",
     ": skipped: ambiguous (answered by 2 devices: 127.2.0.6, 127.2.0.7)"},
    {"02:aa:00:00:00:08", "done", "came back",
     " (127.2.0.8): done, 100000 bytes; came back, firmware v1 (unchanged)"},
    {"02:aa:00:00:00:09", "done", "came back",
     " (127.2.0.9): done, 100000 bytes; came back, firmware v1 (unchanged)"},
    {"02:aa:00:00:00:0a", "done", "came back",
     " (127.2.0.10): done, 100000 bytes; came back, firmware v1 \u2192 v2"},
    {"02:aa:00:00:00:0b", "not found", "null",
     ": skipped: not found (no device answered with the MAC)"},
};

struct InstallRun {
    const char *options;
    size_t at_once; // uploads open at once at most
};

const InstallRun INSTALL_RUNS[] = {
    {"--parallel 4 --verify 4 --verify-delay 1 --json", 4},
    {"--parallel 1 --verify 4 --verify-delay 1", 1},
};

class FleetInstall : public CliTest
{
};

TEST_P(FleetInstall, EachDeviceGetsItsOutcome)
{
    const InstallRun &r = INSTALL_RUNS[GetParam()];
    SCOPED_TRACE(r.options);
    ASSERT_TRUE(start_sim(INSTALL_FLEET));
    const std::string image = image_bytes(100000);
    write_file("image", image);
    double seconds = 0;
    const ProgramResult result = cli(
        std::string("--no-inventory install ") + INSTALL_MACS + " @image " + r.options, &seconds);
    EXPECT_EQ(result.status, 1) << result.err;
    const bool json = std::strstr(r.options, "--json") != nullptr;
    const bool verify = std::strstr(r.options, "--verify") != nullptr;
    bool parsed = false;
    const PerDevice objects = json ? from_json(result.out, &parsed) : PerDevice{};
    const std::map<std::string, std::string> lines =
        json ? std::map<std::string, std::string>{} : from_lines(result.out);
    EXPECT_EQ(json ? objects.size() : lines.size(), std::size(INSTALL_EXPECTED)) << result.out;
    EXPECT_EQ(parsed, json);
    for (const InstallExpected &e : INSTALL_EXPECTED) {
        SCOPED_TRACE(e.mac);
        if (json) {
            const auto device = objects.find(e.mac);
            ASSERT_NE(device, objects.end());
            EXPECT_EQ(device->second.at("outcome"), e.outcome);
            EXPECT_EQ(device->second.at("verify"), e.verify);
            continue;
        }
        std::string want = e.line;
        if (!verify)
            want = want.substr(0, want.find(';'));
        const auto line = lines.find(e.mac);
        ASSERT_NE(line, lines.end()) << result.out;
        const size_t dots = want.find("...");
        EXPECT_EQ(line->second.substr(0, dots), want.substr(0, dots));
    }
    if (json) {
        EXPECT_EQ(objects.at("02:aa:00:00:00:01").at("firmware_after"), "v2");
        EXPECT_EQ(objects.at("02:aa:00:00:00:01").at("firmware_before"), "v1");
        EXPECT_EQ(objects.at("02:aa:00:00:00:0b").at("ip"), "null");
    }

    // The whole image went to each accepting device, nothing to the shared
    // MAC or the missing one, and the uploads overlapped as far as allowed.
    const std::vector<std::string> log = sim_.lines_of("");
    EXPECT_EQ(sim_.lines_of("upload ").size(), 7u);
    for (const std::string &line : sim_.lines_of("upload ")) {
        if (log_field(line, "device") == "127.2.0.4")
            continue;
        EXPECT_EQ(log_field(line, "fnv1a"), fnv1a(image, image.size())) << line;
    }
    for (const std::string &line : sim_.lines_of("install ")) {
        EXPECT_NE(log_field(line, "mac"), "02:aa:00:00:00:06") << line;
        EXPECT_NE(log_field(line, "mac"), "02:aa:00:00:00:0b") << line;
    }
    EXPECT_EQ(most_at_once(log), r.at_once);
}

INSTANTIATE_TEST_SUITE_P(Runs, FleetInstall, testing::Range<size_t>(0, std::size(INSTALL_RUNS)));

// A first SIGTERM lets the stalled uploads go on, a second cuts them; the
// device not started gets no request, and every MAC its line.
TEST_F(FleetInstall, SignalsEndTheBatch)
{
    ASSERT_TRUE(start_sim({"addr=127.2.0.1,mac=02:aa:00:00:00:01,stall-after=100000",
                           "addr=127.2.0.2,mac=02:aa:00:00:00:02,stall-after=100000",
                           "addr=127.2.0.3,mac=02:aa:00:00:00:03"}));
    write_file("image", image_bytes(16 << 20));
    const pid_t pid = start(argv_of("--no-inventory install 02:aa:00:00:00:01 02:aa:00:00:00:02 "
                                    "02:aa:00:00:00:03 @image --parallel 2"));
    ASSERT_FALSE(sim_.wait_for("upload ", 2).empty());
    kill(pid, SIGTERM);
    usleep(300000);
    EXPECT_EQ(waitpid(pid, nullptr, WNOHANG), 0) << "the first signal cut the uploads";
    EXPECT_EQ(end_with(pid, SIGTERM, 10), 1);
    EXPECT_EQ(read_file("out"), "02:aa:00:00:00:01 (127.2.0.1): failed: cancelled\n"
                                "02:aa:00:00:00:02 (127.2.0.2): failed: cancelled\n"
                                "02:aa:00:00:00:03 (127.2.0.3): not started: the batch was "
                                "stopped first\n");
    EXPECT_EQ(sim_.lines_of("install ").size(), 2u);
}

// Two devices at one factory address, one at none, one holding 198.18.0.30,
// two answering with one MAC, one that refuses and one that is not heard
// after its setup; their replies come from 198.18.0.0/24, which loopback
// holds in the test's namespace.
const std::vector<std::string> SETUP_FLEET = {
    "addr=198.18.0.101,mac=02:aa:00:00:00:01,ip=192.168.1.1",
    "addr=198.18.0.102,mac=02:aa:00:00:00:02,ip=192.168.1.1",
    "addr=198.18.0.103,mac=02:aa:00:00:00:03,ip=none",
    "addr=198.18.0.104,mac=02:aa:00:00:00:04,ip=198.18.0.30",
    "addr=198.18.0.105,mac=02:aa:00:00:00:05",
    "addr=198.18.0.106,mac=02:aa:00:00:00:05",
    "addr=198.18.0.107,mac=02:aa:00:00:00:06,setup=1",
    "addr=198.18.0.108,mac=02:aa:00:00:00:07,after-setup=gone",
};

struct SetupCase {
    const char *command;
    const char *plan; // written to @plan
    int status;
    const char *out; // the whole of stdout; "" when JSON is checked instead
    // With --json, per MAC: "outcome new_ip problems".
    std::map<std::string, std::string> json;
    const char *err = "";
    size_t setups = 0; // setup requests the devices got
};

const SetupCase SETUP_CASES[] = {
    // A failed row does not stop the rest, and a device is done only once
    // it answers at its new address.
    {"setup --plan @plan",
     "mac,ip,netmask\n02:aa:00:00:00:01,198.18.0.20,255.255.255.0\n"
     "02:aa:00:00:00:06,198.18.0.23,255.255.255.0\n02:aa:00:00:00:07,198.18.0.24,255.255.255.0\n"
     "02:aa:00:00:00:02,198.18.0.21,255.255.255.0\n# none yet\n"
     "02:aa:00:00:00:03,198.18.0.22,255.255.255.0,no\n",
     1,
     "02:aa:00:00:00:01 (192.168.1.1) \u2192 198.18.0.20 255.255.255.0: done\n"
     "02:aa:00:00:00:06 (198.18.0.107) \u2192 198.18.0.23 255.255.255.0: refused: setup forbidden\n"
     "02:aa:00:00:00:07 (198.18.0.108) \u2192 198.18.0.24 255.255.255.0: not moved: did not "
     "answer afterwards\n"
     "02:aa:00:00:00:02 (192.168.1.1) \u2192 198.18.0.21 255.255.255.0: done\n"
     "02:aa:00:00:00:03 (0.0.0.0) \u2192 198.18.0.22 255.255.255.0: done\n",
     {},
     "",
     5},
    // 198.18.0.30 is held, so the count skips it.
    {"setup 02:aa:00:00:00:01 02:aa:00:00:00:02 02:aa:00:00:00:03 --from 198.18.0.29 "
     "255.255.255.0 --json",
     "",
     0,
     "",
     {{"02:aa:00:00:00:01", "done 198.18.0.29 [] 198.18.0.29"},
      {"02:aa:00:00:00:02", "done 198.18.0.31 [] 198.18.0.31"},
      {"02:aa:00:00:00:03", "done 198.18.0.32 [] 198.18.0.32"}},
     "",
     3},
    {"setup --plan @plan --dry-run --json",
     "02:aa:00:00:00:01,198.18.0.30,255.255.255.0\n02:aa:00:00:00:02,10.0.0.5,255.255.255.0\n"
     "02:aa:00:00:00:03,198.18.0.40,255.255.255.0\n02:aa:00:00:00:04,198.18.0.40,255.255.255.0\n"
     "02:aa:00:00:00:05,198.18.0.41,255.255.255.0\n02:aa:00:00:00:0b,198.18.0.255,255.255.255.0\n"
     "02:aa:00:00:00:0c,198.18.0.43,255.0.255.0\n02:aa:00:00:00:0d,0.0.0.0,0.0.0.0,yes\n",
     1,
     "",
     {{"02:aa:00:00:00:01", "skipped 198.18.0.30 [\"address-taken\"] null"},
      {"02:aa:00:00:00:02", "skipped 10.0.0.5 [\"outside-subnet\"] null"},
      {"02:aa:00:00:00:03", "skipped 198.18.0.40 [\"duplicate\"] null"},
      {"02:aa:00:00:00:04", "skipped 198.18.0.40 [\"duplicate\"] null"},
      {"02:aa:00:00:00:05", "skipped 198.18.0.41 [\"ambiguous\"] null"},
      {"02:aa:00:00:00:0b", "skipped 198.18.0.255 [\"not-found\",\"bad-address\"] null"},
      {"02:aa:00:00:00:0c", "skipped 198.18.0.43 [\"not-found\",\"bad-netmask\"] null"},
      {"02:aa:00:00:00:0d", "skipped 0.0.0.0 [\"not-found\"] null"}}},
    {"setup 02:aa:00:00:00:01 02:aa:00:00:00:02 --from 198.18.0.254 255.255.255.0 --dry-run",
     "",
     1,
     "02:aa:00:00:00:01 (192.168.1.1) \u2192 198.18.0.254 255.255.255.0: ready\n"
     "02:aa:00:00:00:02 (192.168.1.1) \u2192 none: skipped: past the subnet's end\n",
     {}},
    // A bad line stops the plan before any request, discovery included.
    {"setup --plan @plan",
     "02:aa:00:00:00:01,198.18.0.20,255.255.255.0\nzz,198.18.0.21,255.255.255.0\n"
     "02:aa:00:00:00:03,198.18.0.22\n",
     2,
     "",
     {},
     "line 2: bad MAC 'zz'\ndevscout-cli: plan '"},
};

class FleetSetup : public CliTest
{
};

TEST_P(FleetSetup, PlansAndAppliesByMac)
{
    const SetupCase &c = SETUP_CASES[GetParam()];
    SCOPED_TRACE(c.command);
    ASSERT_EQ(std::system("ip addr add 198.18.0.1/24 dev lo"), 0);
    ASSERT_TRUE(start_sim(SETUP_FLEET));
    write_file("plan", c.plan);
    double seconds = 0;
    const ProgramResult result = cli(std::string("--no-inventory ") + c.command, &seconds);
    EXPECT_EQ(result.status, c.status) << result.err;
    EXPECT_NE(result.err.find(c.err), std::string::npos) << result.err;
    if (c.json.empty()) {
        EXPECT_EQ(result.out, c.out);
    } else {
        bool parsed = false;
        const PerDevice objects = from_json(result.out, &parsed);
        EXPECT_TRUE(parsed) << result.out;
        std::map<std::string, std::string> got;
        for (const auto &[mac, f] : objects)
            got[mac] = f.at("outcome") + " " + f.at("new_ip") + " " + f.at("problems") + " " +
                       f.at("answered_ip");
        EXPECT_EQ(got, c.json);
    }
    if (c.status == 2) {
        EXPECT_EQ(requests_so_far(), "");
    }
    EXPECT_EQ(sim_.lines_of("setup ").size(), c.setups);
}

INSTANTIATE_TEST_SUITE_P(Plans, FleetSetup, testing::Range<size_t>(0, std::size(SETUP_CASES)));

} // namespace
