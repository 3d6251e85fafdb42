// SPDX-License-Identifier: GPL-3.0-or-later
// The inventory on real files: what a sequence of runs makes of devices, a
// corrupt file, two processes writing at once, one killed part-way; and the
// vendor registry.
#include "inventory.h"
#include "vendors.h"

#include <QFile>
#include <QHash>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <memory>
#include <unistd.h>

// For the failure messages.
std::ostream &operator<<(std::ostream &out, const QString &text)
{
    return out << text.toStdString();
}

namespace
{

const QDateTime START = QDateTime::fromMSecsSinceEpoch(1796000000000, Qt::UTC);

// "N" is 02:00:00:00:00:0N at 198.18.0.N; letters after it change its
// address (a), netmask (m), host name (h), firmware (f) or interface (i).
Sighting sighting(const QString &code)
{
    const QString n = code.left(1);
    const bool a = code.contains('a'), m = code.contains('m'), h = code.contains('h'),
               f = code.contains('f'), i = code.contains('i');
    return {"02:00:00:00:00:0" + n,
            (a ? "198.18.1." : "198.18.0.") + n,
            m ? "255.255.255.0" : "255.255.0.0",
            h ? "renamed" : "host" + n,
            f ? "2.0" : "1.0",
            i ? "veth1" : "veth0"};
}

// "1 new, 2 absent 1" for devices; changes in brackets.
QString describe(QList<RememberedDevice> devices, bool byMac)
{
    if (byMac)
        std::sort(devices.begin(), devices.end(),
                  [](const auto &a, const auto &b) { return a.mac < b.mac; });
    QStringList out;
    for (const RememberedDevice &d : devices) {
        QString text = d.mac.right(1) + ' ' + stateWord(d.state);
        if (d.state == DeviceState::Absent)
            text += ' ' + QString::number(d.missedRuns);
        for (const FieldChange &change : d.changes)
            text += " [" + change.field + ' ' + change.from + '>' + change.to + ']';
        out << text + (d.site.isEmpty() ? QString() : " @" + d.site);
    }
    return out.join(", ");
}

// "1 appeared, 2 hostname changed host2>renamed".
QString describe(const QList<InventoryEvent> &events)
{
    QStringList out;
    for (const InventoryEvent &e : events)
        out << e.mac.right(1) + ' ' + e.kind +
                   (e.kind.endsWith("changed") ? ' ' + e.from + '>' + e.to : QString());
    return out.join(", ");
}

struct RunStep {
    const char *answered; // sightings, space-separated
    const char *devices;  // what the run made of each, in its order
    const char *events;
    const char *site = ""; // where the run was made
    // Where a run asks the devices this one did not hear; null: not looked at.
    const char *asked = nullptr;
};

struct Sequence {
    const char *name;
    std::vector<RunStep> runs;
};

const Sequence SEQUENCES[] = {
    {"EachFieldChanges",
     {{"1 2", "1 new, 2 new", "1 appeared, 2 appeared"},
      {"1 2", "1 present, 2 present", ""},
      {"1a 2m",
       "1 changed [address 198.18.0.1>198.18.1.1], 2 changed [netmask 255.255.0.0>255.255.255.0]",
       "1 address changed 198.18.0.1>198.18.1.1, 2 netmask changed 255.255.0.0>255.255.255.0"},
      {"1ah 2mf", "1 changed [hostname host1>renamed], 2 changed [firmware 1.0>2.0]",
       "1 hostname changed host1>renamed, 2 firmware changed 1.0>2.0"},
      // The interface alone is no change.
      {"1ahi 2mf", "1 present, 2 present", ""}}},
    {"GoneAfterTwoMissesInARow",
     {{"1 2", "1 new, 2 new", "1 appeared, 2 appeared"},
      {"1", "1 present, 2 absent 1", ""},
      {"2 1", "2 present, 1 present", ""},
      {"1", "1 present, 2 absent 1", ""},
      {"1", "1 present, 2 absent 2", "2 gone"},
      {"2a", "2 changed [address 198.18.0.2>198.18.1.2], 1 absent 1",
       "2 appeared, 2 address changed 198.18.0.2>198.18.1.2"},
      {"2a", "2 present, 1 absent 2", "1 gone"},
      {"", "1 absent 3, 2 absent 1", "", "", "198.18.0.1 198.18.1.2"}}},
    // A MAC that answers twice is the one at its remembered address, or the
    // first to answer.
    {"AMacTwiceIsOneDevice",
     {{"1a 1", "1 new", "1 appeared"},
      {"1 1a", "1 present", ""},
      {"1 2", "1 changed [address 198.18.1.1>198.18.0.1], 2 new",
       "1 address changed 198.18.1.1>198.18.0.1, 2 appeared"}}},
    // A run makes absent only its own site's devices and leaves the others
    // as they were; a device found at another site moves there.
    {"SitesMissOnlyTheirOwn",
     {{"1 2", "1 new, 2 new", "1 appeared, 2 appeared"},
      {"3", "3 new @x, 1 new, 2 new", "3 appeared", "x"},
      {"3f", "3 changed [firmware 1.0>2.0] @x, 1 new, 2 new", "3 firmware changed 1.0>2.0", "x"},
      // Another site's addresses are not asked here.
      {"1", "1 present, 2 absent 1, 3 changed [firmware 1.0>2.0] @x", "", "", "198.18.0.2"},
      {"", "1 present, 2 absent 1, 3 absent 1 @x", "", "x"},
      {"3f", "3 changed [site x>], 1 absent 1, 2 absent 2", "3 site changed x>, 2 gone"}}},
};

// Each run's record, what a fresh connection then reads from the file, and
// the history at the end.
TEST(InventoryTest, RecordsWhatEachRunChanged)
{
    for (const Sequence &sequence : SEQUENCES) {
        SCOPED_TRACE(sequence.name);
        QTemporaryDir dir;
        const QString path = dir.filePath("inventory.sqlite");
        QStringList history;
        QDateTime at = START;
        for (const RunStep &run : sequence.runs) {
            SCOPED_TRACE(run.answered);
            QList<Sighting> sightings;
            for (const QString &code : QString(run.answered).split(' ', Qt::SkipEmptyParts))
                sightings << sighting(code);
            Inventory inventory(path);
            RecordedRun recorded;
            at = at.addSecs(10);
            ASSERT_TRUE(inventory.recordRun(sightings, at, &recorded, run.site))
                << inventory.lastError();
            EXPECT_EQ(describe(recorded.devices, false), run.devices);
            EXPECT_EQ(describe(recorded.events), run.events);
            EXPECT_EQ(describe(Inventory(path).devices(), true), describe(recorded.devices, true));
            if (run.asked != nullptr) {
                QSet<QString> heard;
                for (const Sighting &seen : sightings)
                    heard << seen.mac;
                QStringList asked;
                for (const in_addr &address : inventory.absentAddresses(heard))
                    asked << QString::fromLatin1(inet_ntoa(address));
                EXPECT_EQ(asked.join(' ').toStdString(), run.asked);
            }
            if (*run.events)
                history << run.events;
        }
        EXPECT_EQ(describe(Inventory(path).events()), history.join(", "));
    }
}

QByteArray contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(unreadable)");
}

// record_helper.cpp: runs of devices with MACs 02:TAG:..., each run renaming
// them all; RUNS 0 until killed.
std::unique_ptr<QProcess> startHelper(const QString &path, int tag, int devices, int runs)
{
    auto helper = std::make_unique<QProcess>();
    helper->start(RECORD_HELPER,
                  {path, QString::number(tag), QString::number(devices), QString::number(runs)});
    return helper;
}

// Garbage, and a real file cut short: each is moved aside as it was, and a
// new file works.
TEST(InventoryTest, ABrokenFileIsMovedAsideNeverDeleted)
{
    for (const bool garbage : {true, false}) {
        QTemporaryDir dir;
        const QString path = dir.filePath("inventory.sqlite");
        QFile file(path);
        if (garbage) {
            ASSERT_TRUE(file.open(QIODevice::WriteOnly) && file.write(QByteArray(4096, 'x')) > 0);
            file.close();
        } else {
            ASSERT_TRUE(startHelper(path, 1, 2000, 1)->waitForFinished());
            ASSERT_TRUE(file.resize(file.size() * 3 / 5));
        }
        const QByteArray before = contents(path);

        Inventory inventory(path);
        const QRegularExpressionMatch said =
            QRegularExpression("^devscout: inventory \\Q" + path +
                               "\\E is unreadable \\(.+\\); moved it to (\\Q" + path +
                               "\\E\\.corrupt-\\d{8}T\\d{6}Z) and started a new one$")
                .match(inventory.errorLine());
        ASSERT_TRUE(said.hasMatch()) << inventory.errorLine();
        EXPECT_EQ(contents(said.captured(1)), before);
        ASSERT_TRUE(inventory.recordRun({sighting("1")}, START, nullptr));
        Inventory again(path);
        EXPECT_EQ(again.errorLine(), "");
        EXPECT_EQ(describe(again.devices(), true), "1 new");
    }
}

// A file of a newer schema is left as it is, and nothing is written to it.
TEST(InventoryTest, ANewerFileIsLeftAlone)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("inventory.sqlite");
    ASSERT_TRUE(startHelper(path, 1, 1, 1)->waitForFinished());
    QFile file(path); // the schema version is the header's user version, at 60
    ASSERT_TRUE(file.open(QIODevice::ReadWrite) && file.seek(60) &&
                file.write("\0\0\0\x63", 4) == 4);
    file.close();
    const QByteArray before = contents(path);
    Inventory inventory(path);
    EXPECT_FALSE(inventory.isOpen());
    EXPECT_EQ(inventory.errorLine(), "devscout: inventory " + path +
                                         " cannot be opened (written by a newer devscout, schema "
                                         "version 99); nothing is remembered");
    EXPECT_FALSE(inventory.recordRun({sighting("1")}, START, nullptr));
    EXPECT_EQ(contents(path), before);
}

// A file from before sites is brought up to date, keeping its devices, which
// are this host's.
TEST(InventoryTest, AFileFromBeforeSitesIsMigrated)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("inventory.sqlite");
    ASSERT_TRUE(Inventory(path).recordRun({sighting("1")}, START, nullptr));
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "before sites");
        db.setDatabaseName(path);
        ASSERT_TRUE(db.open());
        QSqlQuery query(db);
        ASSERT_TRUE(query.exec("ALTER TABLE devices DROP COLUMN site"));
        ASSERT_TRUE(query.exec("PRAGMA user_version = 1"));
    }
    QSqlDatabase::removeDatabase("before sites");
    Inventory inventory(path);
    EXPECT_EQ(inventory.errorLine(), "");
    EXPECT_TRUE(inventory.recordRun({sighting("2")}, START.addSecs(10), nullptr, "x"));
    EXPECT_EQ(describe(inventory.devices(), true), "1 new, 2 new @x");
}

// Every run of both is kept: each device's host name changed once per run
// after its first.
TEST(InventoryTest, TwoProcessesRecordAtOnce)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("inventory.sqlite");
    constexpr int DEVICES = 300, RUNS = 15;
    const auto first = startHelper(path, 1, DEVICES, RUNS);
    const auto second = startHelper(path, 2, DEVICES, RUNS);
    for (QProcess *helper : {first.get(), second.get()}) {
        ASSERT_TRUE(helper->waitForFinished(60000));
        EXPECT_EQ(helper->exitCode(), 0) << helper->readAllStandardError().toStdString();
    }
    Inventory inventory(path);
    const QList<RememberedDevice> devices = inventory.devices();
    ASSERT_EQ(devices.size(), 2 * DEVICES);
    QHash<QString, int> renames;
    for (const InventoryEvent &event : inventory.events())
        renames[event.mac] += event.kind == "hostname changed";
    for (const RememberedDevice &device : devices) {
        EXPECT_EQ(device.hostname, QString("run-%1").arg(RUNS)) << qPrintable(device.mac);
        EXPECT_EQ(renames.value(device.mac), RUNS - 1) << qPrintable(device.mac);
    }
}

// Killed at any moment of a run of 20,000 devices, the file holds one whole
// run: every device has the host name of the same run. The moments are spread
// over the time the first run took.
TEST(InventoryTest, AKilledRunLeavesNoHalf)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("inventory.sqlite");
    constexpr int DEVICES = 20000;
    for (int eighths : {2, 4, 6, 8}) {
        const auto helper = startHelper(path, 1, DEVICES, 0);
        QByteArray said;
        while (!said.contains("recording 2") && helper->waitForReadyRead(30000))
            said += helper->readAllStandardOutput();
        const QRegularExpressionMatch first =
            QRegularExpression("recorded 1 (\\d+)\n").match(QString(said));
        ASSERT_TRUE(first.hasMatch() && said.contains("recording 2")) << said.toStdString();
        const int delayMs = first.captured(1).toInt() * eighths / 8;
        usleep(delayMs * 1000);
        helper->kill();
        helper->waitForFinished();

        Inventory inventory(path);
        EXPECT_EQ(inventory.errorLine(), "");
        const QList<RememberedDevice> devices = inventory.devices();
        ASSERT_EQ(devices.size(), DEVICES);
        QSet<QString> hostnames;
        for (const RememberedDevice &device : devices)
            hostnames.insert(device.hostname);
        EXPECT_EQ(hostnames.size(), 1) << "killed " << delayMs << " ms into run 2";
    }
}

TEST(VendorTest, TheLongestRegisteredPrefixNamesTheVendor)
{
    // No iab.csv: a missing file is no error.
    QTemporaryDir dir;
    const std::pair<const char *, const char *> files[] = {
        {"oui.csv", "Registry,Assignment,Organization Name,Organization Address\n"
                    "MA-L,001B63,\"Acme, Inc.\",\"1 Road\nSTE 2, Town\"\r\n"
                    "MA-L,741AE0,Outer Block,Somewhere\n"
                    "MA-L,70B3D5,IEEE Registration Authority,\n"
                    "MA-L,001B64, Spaced Name ,\n"},
        {"mam.csv", "MA-M,741AE09,\"Inner \"\"Block\"\"\"\n"}, // no address at all
        {"oui36.csv", "MA-S,70B3D5F2F,Small Block \xc3\x85S,\n"},
    };
    for (const auto &[name, text] : files) {
        QFile file(dir.filePath(name));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly) && file.write(text) > 0);
    }
    setVendorRegistryFolder(dir.path());
    const std::pair<const char *, const char *> cases[] = {
        {"00:1b:63:12:34:56", "Acme, Inc."},
        {"0:1B:64:0:0:1", "Spaced Name"},
        {"74:1a:e0:9a:bc:de", "Inner \"Block\""},
        {"74:1a:e0:8a:bc:de", "Outer Block"},
        {"70:b3:d5:f2:f0:01", "Small Block \xc3\x85S"},
        {"70:b3:d5:f2:e0:01", "IEEE Registration Authority"},
        {"06:1b:63:12:34:56", "locally administered"},
        {"00:99:99:00:00:00", ""},
        {"not a mac", ""},
    };
    for (const auto &[mac, vendor] : cases)
        EXPECT_EQ(vendorForMac(QString(mac)), QString::fromUtf8(vendor)) << mac;
}

} // namespace
