// SPDX-License-Identifier: GPL-3.0-or-later
// The window with its memory: what it lists at start, what runs make of
// devices that appear, change and go away, notes, the filter, watch, export
// and keys. Offscreen, with temporary databases and simulated devices in
// this private network namespace.
#include "hostitem.h"
#include "installdialog.h"
#include "mainwindow.h"
#include "qhostview.h"
#include "sim_devices.h"
#include "vendors.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QFileDialog>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLayout>
#include <QPushButton>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <arpa/inet.h>
#include <cstring>
#include <memory>

namespace
{

Sighting sighting(const QString &mac, const QString &address)
{
    return {mac, address, "255.255.255.0", "host", "fw 1", "eth0"};
}

DiscoverEntry device(const char *ip, const char *mac, const char *host = "")
{
    DiscoverEntry entry{};
    inet_pton(AF_INET, ip, &entry.ipaddr);
    inet_pton(AF_INET, "255.255.255.0", &entry.netmask);
    ether_aton_r(mac, &entry.mac);
    std::strncpy(entry.hostname, host, sizeof(entry.hostname) - 1);
    return entry;
}

// The first row of mac (as the list writes it), or null.
HostItem *row(const QString &mac)
{
    const auto rows = view->findItems(mac, Qt::MatchExactly, QHostView::Mac);
    return rows.isEmpty() ? nullptr : static_cast<HostItem *>(rows[0]);
}

QStringList shownAddresses()
{
    QStringList addresses;
    for (const HostItem *shown : view->shownRows())
        addresses << shown->text(QHostView::Ip);
    return addresses;
}

bool greyed(const QTreeWidgetItem *item)
{
    return item->foreground(QHostView::Ip).color() ==
           QApplication::palette().color(QPalette::Disabled, QPalette::Text);
}

// RFC 4180 records.
QList<QStringList> parseCsv(const QString &text)
{
    QList<QStringList> records;
    QStringList fields(1);
    bool quoted = false;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] == '"')
            quoted = !quoted;
        if (quoted && text[i] == '"' && i > 0 && text[i - 1] == '"')
            fields.last() += '"';
        else if (!quoted && text[i] == ',')
            fields << QString();
        else if (!quoted && text[i] == '\n')
            records << std::exchange(fields, QStringList(1));
        else if (text[i] != '"' && text[i] != '\r')
            fields.last() += text[i];
    }
    return records;
}

// The records of an exported file by their keys; a list as its words.
QList<QHash<QString, QString>> readExport(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QList<QHash<QString, QString>> exported;
    if (path.endsWith(".json")) {
        for (const QJsonValue &value : QJsonDocument::fromJson(file.readAll()).array()) {
            const QVariantMap object = value.toObject().toVariantMap();
            QHash<QString, QString> &fields = exported.emplaceBack();
            for (auto it = object.begin(); it != object.end(); ++it)
                fields[it.key()] = it->typeId() == QMetaType::QVariantList
                                       ? it->toStringList().join(' ')
                                       : it->toString();
        }
        return exported;
    }
    const QList<QStringList> records = parseCsv(QString::fromUtf8(file.readAll()));
    for (const QStringList &record : records.mid(1)) {
        QHash<QString, QString> &fields = exported.emplaceBack();
        for (qsizetype f = 0; f < record.size(); ++f)
            fields[records[0].value(f)] = record[f];
    }
    return exported;
}

} // namespace

class TestInventory : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    std::unique_ptr<QWidget> box;
    int files = 0;

    QString newFile(const char *suffix)
    {
        return dir.filePath(QString("%1.%2").arg(++files).arg(suffix));
    }

    void openWindow(const QString &database)
    {
        box.reset();
        box = std::make_unique<QWidget>();
        setup_main_window(*box, database);
        box->show();
        QVERIFY(QTest::qWaitForWindowExposed(box.get()));
    }
    template <typename T> T *part(const char *name) { return box->findChild<T *>(name); }

    bool discover()
    {
        QSignalSpy done(view, &QHostView::refresh_done);
        QTest::mouseClick(discoverButton, Qt::LeftButton);
        return done.wait(20000);
    }

    // Writes note into the row's Note column as a user does: F2, typing,
    // Enter.
    void writeNote(HostItem *item, const QString &note)
    {
        view->setCurrentItem(item, QHostView::Mac);
        QTest::keyClick(view, Qt::Key_F2);
        auto *editor = view->viewport()->findChild<QLineEdit *>();
        QVERIFY(editor != nullptr);
        editor->clear();
        QTest::keyClicks(editor, note);
        QTest::keyClick(editor, Qt::Key_Return);
        // The editor hands its text over on the next pass of the event loop.
        QTRY_COMPARE(item->text(QHostView::Note), note);
    }

  private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        QFile registry(dir.filePath("oui.csv"));
        QVERIFY(registry.open(QIODevice::WriteOnly));
        registry.write("Registry,Assignment,Organization Name,Organization Address\n"
                       "MA-L,000A95,\"Test Devices, Inc.\",Somewhere\n");
        registry.close();
        setVendorRegistryFolder(dir.path());
    }

    void rememberedListedAtStart()
    {
        const QString database = newFile("sqlite");
        // Seconds in the times, so that the tool tip's is exact.
        const QDateTime earlier = QDateTime::currentDateTimeUtc().addSecs(-3 * 3600 - 17);
        {
            Inventory inventory(database);
            RecordedRun recorded;
            QVERIFY(inventory.recordRun({sighting("02:00:00:00:00:01", "198.18.0.1"),
                                         sighting("02:00:00:00:00:02", "198.18.0.2")},
                                        earlier, &recorded));
            QVERIFY(inventory.recordRun({sighting("02:00:00:00:00:01", "198.18.0.1")},
                                        earlier.addSecs(60), &recorded));
        }
        openWindow(database);
        QTRY_COMPARE(view->topLevelItemCount(), 2);
        HostItem *present = row("2:0:0:0:0:1");
        HostItem *absent = row("2:0:0:0:0:2");
        QVERIFY(present != nullptr && absent != nullptr);
        QVERIFY(!greyed(present));
        QVERIFY(greyed(absent));
        QCOMPARE(absent->text(QHostView::State), "last seen 3 hours ago");
        QVERIFY2(absent->toolTip(QHostView::Ip)
                     .contains(QLocale().toString(earlier.toLocalTime(), QLocale::LongFormat)),
                 qPrintable(absent->toolTip(QHostView::Ip)));

        auto *showAbsent = part<QCheckBox>("showAbsent");
        QVERIFY(showAbsent->isChecked());
        showAbsent->click();
        QCOMPARE(shownAddresses(), QStringList{"198.18.0.1"});
        showAbsent->click();
        QCOMPARE(shownAddresses(), (QStringList{"198.18.0.1", "198.18.0.2"}));
    }

    // The inventory's own line about the file it moved aside.
    void brokenDatabaseSaid()
    {
        const QString database = newFile("sqlite");
        QFile file(database);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(QByteArray(4096, 'x')) == 4096);
        file.close();
        openWindow(database);
        const QString line = part<QLabel>("statusLine")->text();
        QVERIFY2(line.startsWith("devscout: inventory " + database), qPrintable(line));
        QCOMPARE(view->topLevelItemCount(), 0);
    }

    // Devices appear, change address and firmware, and go away between runs;
    // a note stays with its device's MAC.
    void runsShowWhatChanged()
    {
        QVERIFY2(only_loopback(), "not in a private network namespace: run through netns-run");
        const QString database = newFile("sqlite");
        openWindow(database);
        SimDevices sim;
        QVERIFY(sim.start({"addr=127.1.0.1,mac=2:0:0:0:0:1,fw=fw 1.0",
                           "addr=127.1.0.2,mac=2:0:0:0:0:2", "addr=127.1.0.3,mac=2:0:0:0:0:3"}));
        QVERIFY(discover());
        QCOMPARE(view->topLevelItemCount(), 3);
        for (const char *mac : {"2:0:0:0:0:1", "2:0:0:0:0:2", "2:0:0:0:0:3"})
            QCOMPARE(row(mac)->text(QHostView::State), "new");
        writeNote(row("2:0:0:0:0:2"), "rack 4");
        const QList<RememberedDevice> stored = Inventory(database).devices();
        QCOMPARE(stored.value(1).mac, "02:00:00:00:00:02");
        QCOMPARE(stored.value(1).note, "rack 4");

        QVERIFY(sim.start({"addr=127.1.0.1,mac=2:0:0:0:0:1,fw=fw 2.0",
                           "addr=127.1.0.12,mac=2:0:0:0:0:2", "addr=127.1.0.4,mac=2:0:0:0:0:4"}));
        for (int pass = 0; pass < 2; ++pass) {
            QVERIFY(discover());
            // MAC, address, state (after the change, then in the run after
            // it), what the tool tip says of it, note.
            const QList<QStringList> expected = {
                {"2:0:0:0:0:1", "127.1.0.1", pass == 0 ? "changed" : "", "fw 1.0 → fw 2.0", ""},
                {"2:0:0:0:0:2", "127.1.0.12", pass == 0 ? "changed" : "", "127.1.0.2 → 127.1.0.12",
                 "rack 4"},
                {"2:0:0:0:0:3", "127.1.0.3", "last seen just now", "Did not answer", ""},
                {"2:0:0:0:0:4", "127.1.0.4", pass == 0 ? "new" : "", "", ""}};
            QCOMPARE(view->topLevelItemCount(), 4);
            for (const QStringList &device : expected) {
                const HostItem *item = row(device[0]);
                QVERIFY2(item != nullptr, qPrintable(device[0]));
                QCOMPARE(item->text(QHostView::Ip), device[1]);
                QCOMPARE(item->text(QHostView::State), device[2]);
                QCOMPARE(greyed(item), device[2].startsWith("last seen"));
                if (!device[2].isEmpty())
                    QVERIFY2(item->toolTip(QHostView::Ip).contains(device[3]),
                             qPrintable(item->toolTip(QHostView::Ip)));
                QCOMPARE(item->text(QHostView::Note), device[4]);
            }
        }
    }

    void filter_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QStringList>("shown");
        const QStringList all = {"198.18.0.1", "198.18.0.12", "198.18.1.5"};
        QTest::newRow("nothing") << "" << all;
        QTest::newRow("address prefix") << "198.18.0.1" << all.mid(0, 2);
        QTest::newRow("host name, other case") << "KITCHEN" << all.mid(0, 1);
        QTest::newRow("MAC") << "2:0:0:0:0:2" << all.mid(1, 1);
        QTest::newRow("vendor") << "test devices" << all.mid(2, 1);
        QTest::newRow("no match") << "printer" << QStringList();
    }

    // Ctrl+F, then typing.
    void filter()
    {
        QFETCH(QString, typed);
        QFETCH(QStringList, shown);
        openWindow(QString());
        const DiscoverEntry entries[] = {device("198.18.0.1", "2:0:0:0:0:1", "Kitchen"),
                                         device("198.18.0.12", "2:0:0:0:0:2", "garage"),
                                         device("198.18.1.5", "0:a:95:0:0:1", "hall")};
        for (const DiscoverEntry &entry : entries)
            view->add_item(&entry);
        box->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(box.get()));
        QTest::keyClick(box.get(), Qt::Key_F, Qt::ControlModifier);
        QCOMPARE(QApplication::focusWidget(), part<QLineEdit>("filter"));
        QTest::keyClicks(QApplication::focusWidget(), typed);
        QCOMPARE(shownAddresses(), shown);
        part<QLineEdit>("filter")->clear();
        QCOMPARE(view->shownRows().size(), 3);
    }

    // Rows stay where they are: a changed device's row is updated, a silent
    // one greyed, a new one added, and the selection kept.
    void watchUpdatesInPlace()
    {
        QVERIFY2(only_loopback(), "not in a private network namespace: run through netns-run");
        openWindow(newFile("sqlite"));
        SimDevices sim;
        QVERIFY(sim.start({"addr=127.1.0.1,mac=2:0:0:0:0:1", "addr=127.1.0.2,mac=2:0:0:0:0:2"}));
        QSignalSpy done(view, &QHostView::refresh_done);
        part<QSpinBox>("watchInterval")->setValue(1);
        part<QCheckBox>("watch")->click();
        QVERIFY(done.wait(20000));
        HostItem *selected = row("2:0:0:0:0:2");
        QVERIFY(selected != nullptr);
        view->setCurrentItem(selected);
        int removals = 0;
        connect(view->model(), &QAbstractItemModel::rowsRemoved, this, [&] { ++removals; });
        connect(view->model(), &QAbstractItemModel::modelReset, this, [&] { ++removals; });

        QVERIFY(sim.start(
            {"addr=127.1.0.2,mac=2:0:0:0:0:2,fw=fw 2.0", "addr=127.1.0.3,mac=2:0:0:0:0:3"}));
        // The run under way may have begun before the change; the next not.
        const qsizetype runs = done.count();
        QTRY_VERIFY_WITH_TIMEOUT(done.count() >= runs + 2, 30000);
        part<QCheckBox>("watch")->click();
        QCOMPARE(removals, 0);
        QCOMPARE(view->topLevelItemCount(), 3);
        QCOMPARE(row("2:0:0:0:0:2"), selected);
        QVERIFY(selected->isSelected());
        QCOMPARE(selected->text(QHostView::Firmware), "fw 2.0");
        QVERIFY(greyed(row("2:0:0:0:0:1")));
        QVERIFY(row("2:0:0:0:0:3") != nullptr && !greyed(row("2:0:0:0:0:3")));
    }

    void exportRows_data()
    {
        QTest::addColumn<QString>("suffix");
        QTest::newRow("CSV") << "csv";
        QTest::newRow("JSON") << "json";
    }

    // What the filter shows, read back field by field.
    void exportRows()
    {
        QFETCH(QString, suffix);
        openWindow(QString());
        const DiscoverEntry entries[] = {device("198.18.0.1", "0:a:95:0:0:1", "a,b \"q\" caf\xe9"),
                                         device("198.18.0.1", "2:0:0:0:0:2", "plain"),
                                         device("198.18.0.9", "2:0:0:0:0:3", "filtered out")};
        for (const DiscoverEntry &entry : entries)
            view->add_item(&entry);
        part<QLineEdit>("filter")->setText("198.18.0.1");

        const QString path = newFile(qPrintable(suffix));
        QTimer::singleShot(0, this, [&] {
            auto *files = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
            if (files == nullptr)
                return;
            files->findChild<QLineEdit *>("fileNameEdit")->setText(path);
            static_cast<QDialog *>(files)->accept();
        });
        part<QPushButton>("exportButton")->click();
        const QList<QHash<QString, QString>> exported = readExport(path);
        const QStringList macs = {"00:0a:95:00:00:01", "02:00:00:00:00:02"};
        QCOMPARE(exported.size(), 2);
        for (int i = 0; i < 2; ++i) {
            const QHash<QString, QString> &fields = exported[i];
            QCOMPARE(fields["ip"], "198.18.0.1");
            QCOMPARE(fields["mac"], macs[i]);
            QCOMPARE(fields["hostname"], QString::fromLatin1(entries[i].hostname));
            QCOMPARE(fields["conflict"], macs[1 - i]);
            QCOMPARE(fields["state"], "present");
            QVERIFY(QDateTime::fromString(fields["last_seen"], Qt::ISODate).isValid());
        }
        QCOMPARE(exported[0]["vendor"], "Test Devices, Inc.");
    }

    // A run's rows, taken in batches, in the order the devices answered,
    // all before the button comes back.
    void rowsArriveInOrder()
    {
        QVERIFY2(only_loopback(), "not in a private network namespace: run through netns-run");
        QStringList devices, answered;
        for (int i = 1; i <= 150; ++i) {
            answered << QString("127.1.0.%1").arg(i);
            devices << QString("addr=%1,delay=%2").arg(answered.last()).arg(i * 2);
        }
        // Thousands more answer at once, more than the list joins in one
        // go: each joins it once.
        SimDevices sim;
        QVERIFY(sim.start(devices + QStringList{"--devices", "4000", "--first", "127.3.0.1"}));
        openWindow(QString());
        QStringList inserted;
        bool enabledDuringInsert = false;
        connect(view->model(), &QAbstractItemModel::rowsInserted, this,
                [&](const QModelIndex &, int first, int last) {
                    enabledDuringInsert = enabledDuringInsert || discoverButton->isEnabled();
                    for (int r = first; r <= last; ++r)
                        inserted << view->topLevelItem(r)->text(QHostView::Ip);
                });
        QVERIFY(discover());
        QVERIFY(discoverButton->isEnabled() && !enabledDuringInsert);
        QCOMPARE(inserted.filter("127.1.0."), answered);
        const QStringList burst = inserted.filter("127.3.");
        QCOMPARE(QSet<QString>(burst.begin(), burst.end()).size(), 4000);
        QCOMPARE(inserted.size(), answered.size() + 4000);
    }

    // F5 discovers, Enter opens the setup dialog, Ctrl+C copies the
    // selected rows.
    void keys()
    {
        openWindow(QString());
        const DiscoverEntry entries[] = {device("198.18.0.1", "2:0:0:0:0:1"),
                                         device("198.18.0.2", "2:0:0:0:0:2"),
                                         device("198.18.0.3", "2:0:0:0:0:3")};
        for (const DiscoverEntry &entry : entries)
            view->add_item(&entry);
        box->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(box.get()));

        view->setCurrentItem(view->topLevelItem(2));
        view->topLevelItem(0)->setSelected(true);
        QTest::keyClick(view, Qt::Key_C, Qt::ControlModifier);
        const QStringList lines = QGuiApplication::clipboard()->text().split('\n');
        QCOMPARE(lines.size(), 2);
        QCOMPARE(lines[0].section('\t', QHostView::Ip, QHostView::Ip), "198.18.0.1");
        QCOMPARE(lines[1].section('\t', QHostView::Mac, QHostView::Mac), "2:0:0:0:0:3");

        QSignalSpy done(view, &QHostView::refresh_done);
        // A button's shortcut clicks it a moment later, as a mouse would.
        QTest::keyClick(box.get(), Qt::Key_F5);
        QTRY_VERIFY(!discoverButton->isEnabled());
        QVERIFY(done.wait(20000));

        // The run emptied the list.
        view->add_item(&entries[1]);
        view->setCurrentItem(view->topLevelItem(0));
        QString shownMac;
        // The dialog's own loop runs this while it is shown.
        QTimer::singleShot(0, this, [&] {
            if (QApplication::activeModalWidget() == dia) {
                shownMac = dia->layout()->itemAt(0)->widget()->property("text").toString();
                dia->reject();
            }
        });
        QTest::keyClick(view, Qt::Key_Return);
        QCOMPARE(shownMac, "2:0:0:0:0:2");
    }
};

QTEST_MAIN(TestInventory)
#include "tst_inventory.moc"
