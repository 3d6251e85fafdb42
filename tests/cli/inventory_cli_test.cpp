// SPDX-License-Identifier: GPL-3.0-or-later
// devscout-cli's memory of devices, run against simulated devices: what
// discover and inventory say across runs, notes, and the watch's lines.
#include "exchange_fixture.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QStringList>
#include <csignal>
#include <unistd.h>

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

class InventoryCliTest : public ExchangeTest
{
  protected:
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

    // The exit status of a program told to end by signal, or -1 when it has
    // not exited normally within seconds.
    static int end_with(pid_t pid, int signal, int seconds)
    {
        kill(pid, signal);
        int status = 0;
        for (int i = 0; i < seconds * 100; ++i, usleep(10000))
            if (waitpid(pid, &status, WNOHANG) == pid)
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        return -1;
    }
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
        ASSERT_TRUE(start_sim(devices));
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
// that missed two runs; and exit status 0 on SIGTERM.
TEST_F(InventoryCliTest, WatchPrintsALinePerEvent)
{
    ASSERT_TRUE(start_sim({A, B}));
    const pid_t watch = spawn(command({"discover", "--watch", "2"}), "watch");
    ASSERT_GT(watch, 0);
    // Between two runs, which are two seconds apart.
    EXPECT_EQ(wait_for_lines("watch", 2).size(), 2u);
    ASSERT_TRUE(start_sim({A_MOVED}));
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
}

// A signal ends the wait between runs at once, not when the wait is over.
TEST_F(InventoryCliTest, ASignalEndsTheWatchsWait)
{
    ASSERT_TRUE(start_sim({A}));
    const pid_t watch =
        spawn({CLI_BINARY, "--no-inventory", "discover", "--watch", "600"}, "watch");
    ASSERT_GT(watch, 0);
    EXPECT_EQ(wait_for_lines("watch", 1).size(), 1u);
    EXPECT_EQ(end_with(watch, SIGINT, 10), 0);
}

} // namespace
