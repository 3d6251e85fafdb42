// SPDX-License-Identifier: GPL-3.0-or-later
// devscout-cli's memory of devices, run against simulated devices: what
// discover and inventory say across runs, notes, the watch's lines, and
// other sites' runs imported.
#include "cli_fixture.h"
#include "inventory.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QStringList>
#include <fstream>
#include <tuple>

namespace
{

const std::string A = "addr=127.2.0.1,mac=02:aa:00:00:00:01,host=one";
const std::string A_MOVED = A + ",ip=198.18.0.7";
const std::string B = "addr=127.2.0.2,mac=02:aa:00:00:00:02,delay=300";

// "01 new, 02 absent": each row's MAC's last byte and state.
QString states(const QJsonArray &rows)
{
    QStringList out;
    for (const QJsonValue &row : rows)
        out << row["mac"].toString().right(2) + ' ' + row["state"].toString();
    return out.join(", ");
}

// Another host's discover --json: devices (MAC, firmware, last seen: null
// when empty, as a run without the inventory writes).
using SiteDevice = std::tuple<const char *, std::string, std::string>;
std::string site_file(const std::vector<SiteDevice> &devices)
{
    std::string out = "[";
    for (const auto &[mac, firmware, seen] : devices)
        out += std::string(out.size() > 1 ? "," : "") + R"(
  {"ip": "10.1.0.9", "netmask": "255.255.255.0", "mac": ")" +
               mac + R"(", "hostname": "hÿ", "firmware": ")" + firmware +
               R"(", "interface": "eth0", "conflict": [], "vendor": "", "state": null,)" +
               R"( "first_seen": null, "last_seen": )" +
               (seen.empty() ? "null" : '"' + seen + '"') + "}";
    return out + "\n]\n";
}

class InventoryCliTest : public CliTest
{
  protected:
    testing::AssertionResult restart_sim(const std::vector<std::string> &devices)
    {
        if (sim_.running() && !sim_.stop())
            return testing::AssertionFailure() << "the simulator did not stop";
        return sim_.start(path("sim" + std::to_string(++sims_) + ".log"), devices);
    }

    std::vector<std::string> command(const std::vector<std::string> &words) const
    {
        std::vector<std::string> argv = {CLI_BINARY, "--database", path("inventory.sqlite")};
        argv.insert(argv.end(), words.begin(), words.end());
        return argv;
    }

    QJsonArray json(const std::vector<std::string> &words) const
    {
        const ProgramResult result = run_program(command(words));
        EXPECT_EQ(result.status, 0) << result.err;
        return QJsonDocument::fromJson(QByteArray::fromStdString(result.out)).array();
    }

    // The file's first count lines, once it has them (fewer after 60 s).
    std::vector<std::string> wait_for_lines(const std::string &name, size_t count) const
    {
        std::vector<std::string> lines;
        for (int i = 0; i < 600 && lines.size() < count; ++i, usleep(100000)) {
            lines.clear();
            std::ifstream in(path(name));
            for (std::string line; lines.size() < count && std::getline(in, line);)
                lines.push_back(line);
        }
        return lines;
    }

  private:
    int sims_ = 0;
};

// Each run is remembered: a device's first sighting stays, its new address
// shows, and one that stops answering is listed as absent only when asked. A
// note follows the device from its old address to the new one.
TEST_F(InventoryCliTest, DiscoverAndInventoryShowWhatChanged)
{
    const std::pair<std::vector<std::string>, const char *> runs[] = {
        {{A, B}, "01 new, 02 new"},
        {{A_MOVED, B}, "01 changed, 02 present"},
        {{A_MOVED}, "01 present"},
    };
    const std::string note = "K\xc3\xbc"
                             "che, \"oben\" \xe2\x9c\x93";
    const QRegularExpression iso("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ$");
    QString firstSeen;
    for (const auto &[devices, expected] : runs) {
        SCOPED_TRACE(expected);
        ASSERT_TRUE(restart_sim(devices));
        const QJsonArray rows = json({"discover", "--json"});
        EXPECT_EQ(states(rows).toStdString(), expected);
        for (const QJsonValue &row : rows) {
            EXPECT_EQ(row["vendor"], "locally administered");
            EXPECT_TRUE(iso.match(row["last_seen"].toString()).hasMatch());
        }
        if (firstSeen.isEmpty()) {
            firstSeen = rows[0]["first_seen"].toString();
            EXPECT_EQ(run_program(command({"note", "02:aa:00:00:00:01", note})).status, 0);
        }
        EXPECT_EQ(rows[0]["first_seen"].toString(), firstSeen);
        EXPECT_TRUE(iso.match(firstSeen).hasMatch()) << firstSeen.toStdString();
    }
    EXPECT_EQ(states(json({"inventory", "--json"})), "01 present");
    const QJsonArray all = json({"inventory", "--absent", "--json"});
    EXPECT_EQ(states(all), "01 present, 02 absent");
    EXPECT_EQ(all[0]["ip"], "198.18.0.7");
    EXPECT_EQ(all[0]["note"].toString().toStdString(), note);

    const ProgramResult unknown = run_program(command({"note", "02:aa:00:00:00:09", "x"}));
    EXPECT_EQ(unknown.status, 1);
    EXPECT_NE(unknown.err.find("no device with MAC 02:aa:00:00:00:09"), std::string::npos);
    EXPECT_EQ(run_program(command({"note", "zz", "x"})).status, 2);
}

// The device that answers first, then the one that changes, then the one
// that missed two runs; and exit status 0 on SIGTERM. That loopback cannot
// broadcast is said once, not at every run.
TEST_F(InventoryCliTest, WatchPrintsALinePerEvent)
{
    ASSERT_TRUE(restart_sim({A, B}));
    const pid_t watch = start(command({"discover", "--watch", "2"}), "watch");
    ASSERT_GT(watch, 0);
    // Between two runs, which are two seconds apart.
    EXPECT_EQ(wait_for_lines("watch", 2).size(), 2u);
    ASSERT_TRUE(restart_sim({A_MOVED}));
    const std::vector<std::string> lines = wait_for_lines("watch", 4);
    EXPECT_EQ(end_with(watch, SIGTERM, 30), 0);

    QStringList events;
    for (const std::string &line : lines) {
        const QJsonObject event = QJsonDocument::fromJson(QByteArray::fromStdString(line)).object();
        events << event["event"].toString() + ' ' + event["mac"].toString().right(2);
        for (const QJsonValue &change : event["changes"].toArray())
            events.last() += ' ' + change["field"].toString() + ' ' + change["old"].toString() +
                             '>' + change["new"].toString();
    }
    EXPECT_EQ(events.join(", "),
              "appeared 01, appeared 02, changed 01 address 127.2.0.1>198.18.0.7, gone 02");
    std::ostringstream err;
    err << std::ifstream(path("err")).rdbuf();
    EXPECT_EQ(QString::fromStdString(err.str()).count("no interface that can broadcast"), 1)
        << err.str();
}

// An import is its site's run: a second one makes absent only that site's
// device it lacks and records a changed firmware at the file's time; the
// other site's device and the local one, which a local run then finds
// again, stay as they were.
TEST_F(InventoryCliTest, ImportsAreTheirSitesRuns)
{
    ASSERT_TRUE(restart_sim({A}));
    EXPECT_EQ(states(json({"discover", "--json"})), "01 new");
    // A run's time is its file's latest.
    const char *first = "2026-11-30T08:05:00Z";
    const char *later = "2026-12-01T09:30:00Z";
    const std::tuple<const char *, std::string, const char *> imports[] = {
        {"lab",
         site_file({{"02:bb:00:00:00:01", "1.0", "2026-11-30T08:00:00Z"},
                    {"02:bb:00:00:00:02", "1.0", first}}),
         "site lab: 2 found (2 new, 0 changed), 0 absent\n"},
        {"office", site_file({{"02:cc:00:00:00:01", "1.0", ""}}),
         "site office: 1 found (1 new, 0 changed), 0 absent\n"},
        {"lab", site_file({{"02:bb:00:00:00:01", "2.0", later}}),
         "site lab: 1 found (0 new, 1 changed), 1 absent\n"},
    };
    for (const auto &[site, file, line] : imports) {
        const ProgramResult result = run_program(
            command({"inventory", "--import", write_file("site.json", file), "--site", site}));
        EXPECT_EQ(result.status, 0) << result.err;
        EXPECT_EQ(result.out, line);
    }
    EXPECT_EQ(states(json({"discover", "--json"})), "01 present");

    QStringList devices;
    for (const QJsonValue &row : json({"inventory", "--absent", "--json"}))
        devices << row["mac"].toString().mid(3, 2) + row["mac"].toString().right(2) + ' ' +
                       row["state"].toString() + ' ' + row["site"].toString() + ' ' +
                       row["hostname"].toString() + ' ' + row["firmware"].toString();
    EXPECT_EQ(devices.join(", "), "aa01 present  one , bb01 changed lab h\u00ff 2.0, "
                                  "bb02 absent lab h\u00ff 1.0, cc01 new office h\u00ff 1.0");
    const QList<InventoryEvent> events =
        Inventory(QString::fromStdString(path("inventory.sqlite"))).events("02:bb:00:00:00:01");
    ASSERT_EQ(events.size(), 2);
    EXPECT_EQ(events[0].at, QDateTime::fromString(first, Qt::ISODate));
    EXPECT_EQ(events[1].kind, "firmware changed");
    EXPECT_EQ(events[1].from + '>' + events[1].to, "1.0>2.0");
    EXPECT_EQ(events[1].at, QDateTime::fromString(later, Qt::ISODate));
}

// A file or site that will not do is refused whole, with one line and
// status 2, and the inventory's file keeps every byte.
TEST_F(InventoryCliTest, BadImportsChangeNothing)
{
    // The longest firmware text a device can send.
    const std::string good =
        write_file("good.json", site_file({{"02:bb:00:00:00:01", std::string(260, 'f'), ""}}));
    const std::string longest(64, 's');
    ASSERT_EQ(run_program(command({"inventory", "--import", good, "--site", longest})).status, 0);
    const std::string before = read_file("inventory.sqlite");
    const struct {
        std::string file; // empty: the good one; "missing": none
        std::vector<std::string> site;
        const char *says;
    } cases[] = {
        {"[{", {"--site", "lab"}, "not JSON"},
        {"{}", {"--site", "lab"}, "not a JSON array of devices"},
        {"missing", {"--site", "lab"}, "No such file"},
        {site_file({{"02:bb:00:00:00:01", "9.9", ""}, {"02:zz:00:00:00:02", "1.0", ""}}),
         {"--site", "lab"},
         "device 2: bad mac '02:zz:00:00:00:02'"},
        {site_file({{"02:bb:00:00:00:01", std::string(261, 'f'), ""}}),
         {"--site", "lab"},
         "device 1: a hostname or firmware that no device sends"},
        {site_file({{"02:bb:00:00:00:01", "\\u0100", ""}}),
         {"--site", "lab"},
         "device 1: a hostname or firmware that no device sends"},
        {"", {}, "--import needs --site NAME"},
        {"", {"--site", ""}, "bad --site ''"},
        {"", {"--site", longest + 's'}, "expected 1 to 64 printable characters"},
        {"", {"--site", "a\tb"}, "expected 1 to 64 printable characters"},
        {"", {"--site", longest, "--csv"}, "--json, --csv and --absent do not apply"},
    };
    for (const auto &[file, site, says] : cases) {
        SCOPED_TRACE(says);
        std::vector<std::string> words = {"inventory", "--import",
                                          file.empty()        ? good
                                          : file == "missing" ? path(file)
                                                              : write_file("bad.json", file)};
        words.insert(words.end(), site.begin(), site.end());
        const ProgramResult result = run_program(command(words));
        EXPECT_EQ(result.status, 2);
        EXPECT_NE(result.err.find(says), std::string::npos) << result.err;
        EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
        EXPECT_TRUE(read_file("inventory.sqlite") == before);
    }
}

// A signal ends the wait between runs at once, not when the wait is over.
TEST_F(InventoryCliTest, ASignalEndsTheWatchsWait)
{
    ASSERT_TRUE(restart_sim({A}));
    const pid_t watch =
        start({CLI_BINARY, "--no-inventory", "discover", "--watch", "600"}, "watch");
    ASSERT_GT(watch, 0);
    EXPECT_EQ(wait_for_lines("watch", 1).size(), 1u);
    EXPECT_EQ(end_with(watch, SIGINT, 10), 0);
}

} // namespace
