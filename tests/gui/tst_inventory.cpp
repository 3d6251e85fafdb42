// SPDX-License-Identifier: GPL-3.0-or-later
// The window with its memory: what it lists at start, what runs make of
// devices that appear, change and go away, imported sites, notes, the
// filter, watch, export, keys, and what it keeps between starts. Offscreen, with temporary
// databases and simulated devices in this private network namespace.
#include "discoveryoptions.h"
#include "hostitem.h"
#include "installdialog.h"
#include "mainwindow.h"
#include "qhostview.h"
#include "sim_devices.h"
#include "vendors.h"

#include <QtTest>
#include <QtWidgets>
#include <memory>

namespace
{

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
        box->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(box.get()));
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
        // No registry: the vendors of global MACs stay empty.
        setVendorRegistryFolder(dir.path());
        // The windows' settings go here, not to the user's.
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(dir.filePath("config")));
    }

    void lastSeen()
    {
        const QDateTime now = QDateTime::currentDateTimeUtc();
        const std::pair<int, const char *> ages[] = {
            {59, "just now"},          {60, "a minute ago"},
            {3599, "59 minutes ago"},  {3600, "an hour ago"},
            {7200, "2 hours ago"},     {2 * 86400 - 1, "47 hours ago"},
            {2 * 86400, "2 days ago"}, {400 * 86400, "400 days ago"}};
        for (const auto &[seconds, words] : ages)
            QCOMPARE(last_seen_text(now.addSecs(-seconds), now), QString("last seen ") + words);
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
    // a note stays with its device's MAC; the next start lists them all.
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
                {"2:0:0:0:0:1", "127.1.0.1", pass == 0 ? "changed" : "",
                 "Changed firmware: fw 1.0 → fw 2.0", ""},
                {"2:0:0:0:0:2", "127.1.0.12", pass == 0 ? "changed" : "",
                 "Changed address: 127.1.0.2 → 127.1.0.12", "rack 4"},
                {"2:0:0:0:0:3", "127.1.0.3", "last seen just now", "Did not answer", ""},
                {"2:0:0:0:0:4", "127.1.0.4", pass == 0 ? "new" : "", "New: first seen", ""}};
            QCOMPARE(view->topLevelItemCount(), 4);
            for (const QStringList &device : expected) {
                const HostItem *item = row(device[0]);
                QVERIFY2(item != nullptr, qPrintable(device[0]));
                QCOMPARE(item->text(QHostView::Ip), device[1]);
                QCOMPARE(item->text(QHostView::State), device[2]);
                QCOMPARE(greyed(item), device[2].startsWith("last seen"));
                QCOMPARE(item->toolTip(QHostView::Ip).contains(device[3]), !device[2].isEmpty());
                QCOMPARE(item->text(QHostView::Note), device[4]);
            }
            // The filter sees the states as they are now.
            part<QLineEdit>("filter")->setText(pass == 0 ? "changed" : "last seen");
            QCOMPARE(view->shownRows().size(), pass == 0 ? 2 : 1);
            part<QLineEdit>("filter")->clear();
        }

        // The next window lists them all as remembered, the absent one with
        // the exact time it was last seen, behind the toggle.
        const RememberedDevice gone = Inventory(database).devices().value(2);
        QCOMPARE(gone.mac, "02:00:00:00:00:03");
        openWindow(database);
        QTRY_COMPARE(view->topLevelItemCount(), 4);
        QVERIFY(greyed(row("2:0:0:0:0:3")) && !greyed(row("2:0:0:0:0:1")));
        QVERIFY(
            row("2:0:0:0:0:3")
                ->toolTip(QHostView::Ip)
                .contains(QLocale().toString(gone.lastSeen.toLocalTime(), QLocale::LongFormat)));
        QCOMPARE(row("2:0:0:0:0:2")->text(QHostView::Note), "rack 4");
        auto *showAbsent = part<QCheckBox>("showAbsent");
        QVERIFY(showAbsent->isChecked());
        showAbsent->click();
        QCOMPARE(shownAddresses(), (QStringList{"127.1.0.1", "127.1.0.12", "127.1.0.4"}));
        showAbsent->click();
        QCOMPARE(view->shownRows().size(), 4);
    }

    // An imported device shows its site, also to the filter, and this host's
    // runs, which cannot reach it, leave its row as it was; the local device
    // they miss is greyed.
    void importedDeviceKeepsItsSite()
    {
        QVERIFY2(only_loopback(), "not in a private network namespace: run through netns-run");
        const QString database = newFile("sqlite");
        {
            Inventory inventory(database);
            const QDateTime at = QDateTime::currentDateTimeUtc();
            QVERIFY(inventory.recordRun(
                {{"02:00:00:00:00:05", "198.18.0.5", "255.255.255.0", "here", "1.0", "lo"}}, at,
                nullptr));
            QVERIFY(inventory.recordRun(
                {{"02:00:00:00:00:06", "10.1.0.6", "255.255.255.0", "there", "1.0", "eth0"}}, at,
                nullptr, "lab"));
        }
        openWindow(database);
        QTRY_COMPARE(view->topLevelItemCount(), 2);
        QSignalSpy done(view, &QHostView::refresh_done);
        view->refreshInPlace();
        QVERIFY(done.wait(20000));
        QCOMPARE(view->topLevelItemCount(), 2);
        QCOMPARE(row("2:0:0:0:0:5")->text(QHostView::Site), "");
        QCOMPARE(row("2:0:0:0:0:6")->text(QHostView::Site), "lab");
        QVERIFY(greyed(row("2:0:0:0:0:5")) && !greyed(row("2:0:0:0:0:6")));
        part<QLineEdit>("filter")->setText("LAB");
        QCOMPARE(shownAddresses(), QStringList{"10.1.0.6"});
        part<QLineEdit>("filter")->clear();
    }

    // Ctrl+F selects the filter's text, and typing replaces it: rows with it
    // in any column's text show, whatever the case.
    void filter()
    {
        openWindow(QString());
        const DiscoverEntry entries[] = {
            device("198.18.0.1", "2:0:0:0:0:1", "255.255.255.0", "Kitchen"),
            device("198.18.0.12", "2:0:0:0:0:2", "255.255.255.0", "garage"),
            device("198.18.1.5", "0:a:95:0:0:1", "255.255.255.0", "hall")};
        for (const DiscoverEntry &entry : entries)
            view->add_item(&entry);
        const QStringList all = {"198.18.0.1", "198.18.0.12", "198.18.1.5"};
        const std::pair<const char *, QStringList> typed[] = {{"198.18.0.1", all.mid(0, 2)},
                                                              {"KITCHEN", all.mid(0, 1)},
                                                              {"2:0:0:0:0:2", all.mid(1, 1)},
                                                              {"LOCALLY", all.mid(0, 2)},
                                                              {"printer", {}}};
        for (const auto &[text, shown] : typed) {
            QTest::keyClick(box.get(), Qt::Key_F, Qt::ControlModifier);
            QCOMPARE(QApplication::focusWidget(), part<QLineEdit>("filter"));
            QTest::keyClicks(QApplication::focusWidget(), text);
            QCOMPARE(shownAddresses(), shown);
        }
        part<QLineEdit>("filter")->clear();
        QCOMPARE(shownAddresses(), all);
    }

    // Rows stay where they are: a changed device's row is updated, a silent
    // one greyed, a new one added, and the selection kept. Two devices that
    // answer with one MAC each keep the row of their address.
    void watchUpdatesInPlace()
    {
        QVERIFY2(only_loopback(), "not in a private network namespace: run through netns-run");
        openWindow(newFile("sqlite"));
        SimDevices sim;
        const QStringList clones = {"addr=127.1.0.5,mac=2:0:0:0:0:5",
                                    "addr=127.1.0.55,mac=2:0:0:0:0:5,delay=300"};
        QVERIFY(sim.start(
            QStringList{"addr=127.1.0.1,mac=2:0:0:0:0:1", "addr=127.1.0.2,mac=2:0:0:0:0:2"} +
            clones));
        QSignalSpy done(view, &QHostView::refresh_done);
        part<QSpinBox>("watchInterval")->setValue(1);
        part<QCheckBox>("watch")->click();
        QVERIFY(done.wait(20000));
        HostItem *selected = row("2:0:0:0:0:2");
        QVERIFY(selected != nullptr);
        view->setCurrentItem(selected);
        const auto *clone = view->findItems("127.1.0.55", Qt::MatchExactly).value(0);
        int removals = 0;
        connect(view->model(), &QAbstractItemModel::rowsRemoved, this, [&] { ++removals; });
        connect(view->model(), &QAbstractItemModel::modelReset, this, [&] { ++removals; });

        QVERIFY(sim.start(QStringList{"addr=127.1.0.2,mac=2:0:0:0:0:2,fw=fw 2.0",
                                      "addr=127.1.0.3,mac=2:0:0:0:0:3"} +
                          clones));
        // The run under way may have begun before the change; the next not.
        const qsizetype runs = done.count();
        QTRY_VERIFY_WITH_TIMEOUT(done.count() >= runs + 2, 30000);
        part<QCheckBox>("watch")->click();
        QCOMPARE(removals, 0);
        QCOMPARE(view->topLevelItemCount(), 5);
        QVERIFY(clone != nullptr && clone->text(QHostView::Ip) == "127.1.0.55");
        QCOMPARE(row("2:0:0:0:0:2"), selected);
        QVERIFY(selected->isSelected());
        QCOMPARE(selected->text(QHostView::Firmware), "fw 2.0");
        QVERIFY(greyed(row("2:0:0:0:0:1")));
        QVERIFY(row("2:0:0:0:0:3") != nullptr && !greyed(row("2:0:0:0:0:3")));

        // A run cut short makes none of those yet to answer absent.
        QVERIFY(sim.start({"addr=127.1.0.2,mac=2:0:0:0:0:2,delay=5000"}));
        part<QCheckBox>("watch")->click();
        QTRY_VERIFY(sim.logged("^discover "));
        QTest::keyClick(box.get(), Qt::Key_Escape);
        QVERIFY(done.wait(5000));
        part<QCheckBox>("watch")->click();
        QVERIFY(!greyed(selected));
    }

    // What the filter shows, in the format the file's name asks for.
    void exportRows()
    {
        openWindow(QString());
        const DiscoverEntry entries[] = {
            device("198.18.0.1", "0:a:95:0:0:1", "255.255.255.0", "a,b \"q\" caf\xe9"),
            device("198.18.0.1", "2:0:0:0:0:2", "255.255.255.0", "plain"),
            device("198.18.0.9", "2:0:0:0:0:3", "255.255.255.0", "filtered out")};
        for (const DiscoverEntry &entry : entries)
            view->add_item(&entry);
        part<QLineEdit>("filter")->setText("198.18.0.1");
        const QStringList macs = {"00:0a:95:00:00:01", "02:00:00:00:00:02"};
        for (const QString suffix : {"csv", "json"}) {
            const QString path = newFile(qPrintable(suffix));
            chooseFile(path);
            part<QPushButton>("exportButton")->click();
            QFile file(path);
            QVERIFY(file.open(QIODevice::ReadOnly));
            const QByteArray text = file.readAll();
            // The formats' every byte is the formatter's own test's; here the
            // rows and their fields.
            if (suffix == "csv") {
                QVERIFY2(text.startsWith("ip,netmask,mac,") && text.count("\r\n") == 3, text);
                continue;
            }
            const QJsonArray rows = QJsonDocument::fromJson(text).array();
            QCOMPARE(rows.size(), 2);
            for (int i = 0; i < 2; ++i) {
                const QVariantMap fields = rows[i].toObject().toVariantMap();
                QCOMPARE(fields["ip"].toString(), "198.18.0.1");
                QCOMPARE(fields["mac"].toString(), macs[i]);
                QCOMPARE(fields["hostname"].toString(), QString::fromLatin1(entries[i].hostname));
                QCOMPARE(fields["conflict"].toStringList(), QStringList{macs[1 - i]});
                QCOMPARE(fields["state"].toString(), "present");
                QVERIFY(fields["last_seen"].toDateTime().isValid());
            }
            QCOMPARE(rows[1]["vendor"].toString(), "locally administered");
        }
    }

    // F5 starts a run; its rows, taken in batches, come in the order the
    // devices answered, all before the button comes back.
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
        QSignalSpy done(view, &QHostView::refresh_done);
        QTest::keyClick(box.get(), Qt::Key_F5);
        QVERIFY(done.wait(20000));
        QVERIFY(discoverButton->isEnabled() && !enabledDuringInsert);
        QCOMPARE(inserted.filter("127.1.0."), answered);
        const QStringList burst = inserted.filter("127.3.");
        QCOMPARE(QSet<QString>(burst.begin(), burst.end()).size(), 4000);
        QCOMPARE(inserted.size(), answered.size() + 4000);
    }

    // Enter opens the setup dialog, Ctrl+C copies the selected rows.
    void keys()
    {
        openWindow(QString());
        const DiscoverEntry entries[] = {device("198.18.0.1", "2:0:0:0:0:1"),
                                         device("198.18.0.2", "2:0:0:0:0:2"),
                                         device("198.18.0.3", "2:0:0:0:0:3")};
        for (const DiscoverEntry &entry : entries)
            view->add_item(&entry);
        view->setCurrentItem(view->topLevelItem(2));
        view->topLevelItem(0)->setSelected(true);
        QTest::keyClick(view, Qt::Key_C, Qt::ControlModifier);
        const QStringList lines = QGuiApplication::clipboard()->text().split('\n');
        QCOMPARE(lines.size(), 2);
        QCOMPARE(lines[0].section('\t', QHostView::Ip, QHostView::Ip), "198.18.0.1");
        QCOMPARE(lines[1].section('\t', QHostView::Mac, QHostView::Mac), "2:0:0:0:0:3");

        view->setCurrentItem(view->topLevelItem(1));
        QString shownMac;
        onModal<InstallDialog>([&](InstallDialog *dialog) {
            shownMac = dialog->layout()->itemAt(0)->widget()->property("text").toString();
            dialog->reject();
        });
        QTest::keyClick(view, Qt::Key_Return);
        QCOMPARE(shownMac, "2:0:0:0:0:2");
    }

    // What the window was left with comes back in the next one. Last: the
    // windows after it would start as this one left off.
    void settingsKeptBetweenStarts()
    {
        openWindow(QString());
        box->resize(640, 480);
        view->header()->moveSection(QHostView::Note, 0);
        view->header()->resizeSection(QHostView::Hostname, 217);
        part<QSpinBox>("watchInterval")->setValue(42);
        dia->setImageFolder(dir.path());
        part<QPlainTextEdit>("targets")->setPlainText("198.18.7.255 198.18.8.2");
        part<QSpinBox>("sourcePort")->setValue(40123);
        part<QCheckBox>("askRemembered")->setChecked(false);
        part<DiscoveryOptions>(nullptr)->accept();
        // The app keeps them as it quits.
        QTimer::singleShot(0, qApp, &QCoreApplication::quit);
        QCoreApplication::exec();
        QVERIFY(QFile::exists(
            dir.filePath("config/" + QCoreApplication::applicationName() + "/window.conf")));

        openWindow(QString());
        QCOMPARE(box->size(), QSize(640, 480));
        QCOMPARE(view->header()->visualIndex(QHostView::Note), 0);
        QCOMPARE(view->header()->sectionSize(QHostView::Hostname), 217);
        QCOMPARE(part<QSpinBox>("watchInterval")->value(), 42);
        QCOMPARE(dia->imageFolder(), dir.path());
        const DiscoveryReach &reach = view->reach();
        QCOMPARE(targets_text(reach.targets), "198.18.7.255\n198.18.8.2");
        QCOMPARE(reach.sourcePort, 40123);
        QVERIFY(!reach.askRemembered);
    }

    // A column order saved before the Site column comes back, the Site
    // column added at the end.
    void settingsFromBeforeTheSiteColumn()
    {
        QTreeWidget before;
        before.setColumnCount(QHostView::Site);
        before.header()->moveSection(QHostView::Note, 0);
        before.header()->resizeSection(QHostView::Hostname, 123);
        {
            QSettings settings(QCoreApplication::applicationName(), "window");
            settings.setValue("columns", int(QHostView::Site));
            settings.setValue("header", before.header()->saveState());
        }
        openWindow(QString());
        QCOMPARE(view->header()->visualIndex(QHostView::Note), 0);
        QCOMPARE(view->header()->sectionSize(QHostView::Hostname), 123);
        QCOMPARE(view->header()->visualIndex(QHostView::Site), int(QHostView::Site));
        QVERIFY(!view->isColumnHidden(QHostView::Site));
    }
};

QTEST_MAIN(TestInventory)
#include "tst_inventory.moc"
