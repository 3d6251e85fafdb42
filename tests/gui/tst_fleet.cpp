// SPDX-License-Identifier: GPL-3.0-or-later
// The window's work on many devices, offscreen against simulated devices in
// this private network namespace: a firmware update of the selected rows
// (outcomes, counts, retry, stop) and an address plan (shown, checked,
// applied, seen in the list).
#include "addressplandialog.h"
#include "firmwareupdate.h"
#include "mainwindow.h"
#include "qhostview.h"
#include "sim_devices.h"

#include <QtTest>
#include <QtWidgets>
#include <arpa/inet.h>
#include <memory>

namespace
{

// The Progress texts of the rows of mac, in the list's order.
QString progressOf(const QString &mac)
{
    QStringList texts;
    for (const QTreeWidgetItem *row : view->findItems(mac, Qt::MatchExactly, QHostView::Mac))
        texts << row->text(QHostView::Progress);
    return texts.join(" | ");
}

void select(const QStringList &macs)
{
    view->clearSelection();
    for (int i = 0; i < view->topLevelItemCount(); ++i)
        view->topLevelItem(i)->setSelected(
            macs.contains(view->topLevelItem(i)->text(QHostView::Mac)));
}

// How many install requests named each MAC 2:0:0:0:0:N, for each N of lasts.
QList<qsizetype> installs(SimDevices &sim, const QString &lasts)
{
    sim.logged("");
    QList<qsizetype> counts;
    for (const QChar last : lasts)
        counts << sim.log.count(
            QRegularExpression(QString("^install .* mac=02:00:00:00:00:0%1 ").arg(last),
                               QRegularExpression::MultilineOption));
    return counts;
}

} // namespace

class TestFleet : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    const QString image = dir.filePath("image");
    std::unique_ptr<QWidget> box;

    FirmwareUpdate *update() { return box->findChild<FirmwareUpdate *>(); }
    template <typename T = QWidget> T *widget(const char *name)
    {
        return box->findChild<T *>(name);
    }

    // A run that keeps the rows, so that a listed device that does not
    // answer is greyed.
    void discover()
    {
        QSignalSpy done(view, &QHostView::refresh_done);
        view->refreshInPlace();
        QVERIFY(done.wait(20000));
    }

  private slots:
    void initTestCase()
    {
        QVERIFY2(only_loopback(), "not in a private network namespace: run through netns-run");
        // The windows' settings go here, not to the user's.
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(dir.filePath("config")));
        QFile file(image);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(QByteArray(16 << 20, 'i')) > 0);
        // The address plan's devices answer from a subnet of their own.
        QCOMPARE(QProcess::execute("ip", {"addr", "add", "198.18.0.1/24", "dev", "lo"}), 0);
    }

    void init()
    {
        box = std::make_unique<QWidget>();
        setup_main_window(*box);
        box->show();
    }

    // Two uploads at once, each row saying how its device fared; a MAC heard
    // from two places and a greyed row are skipped. Retry runs only the
    // failed ones again; Stop lets the uploads under way end or aborts them,
    // and starts no more.
    void updateFirmware()
    {
        SimDevices sim;
        QVERIFY(sim.start({"addr=127.1.0.1,mac=2:0:0:0:0:1,fw=A,fw-after-install=B",
                           "addr=127.1.0.2,mac=2:0:0:0:0:2,install=1",
                           "addr=127.1.0.3,mac=2:0:0:0:0:3,close-after=1000",
                           "addr=127.1.0.4,mac=2:0:0:0:0:4,after-install=gone",
                           "addr=127.1.0.5,mac=2:0:0:0:0:5", "addr=127.1.0.15,mac=2:0:0:0:0:5",
                           "addr=127.1.0.6,mac=2:0:0:0:0:6,stall-after=1048576",
                           "addr=127.1.0.7,mac=2:0:0:0:0:7", "addr=127.1.0.8,mac=2:0:0:0:0:8"}));
        DiscoverEntry silent{};
        inet_pton(AF_INET, "127.1.0.9", &silent.ipaddr);
        ether_aton_r("2:0:0:0:0:9", &silent.mac);
        view->add_item(&silent, nullptr, &silent.ipaddr);
        discover();
        view->sortItems(QHostView::Ip, Qt::AscendingOrder);
        widget<QSpinBox>("parallelUploads")->setValue(2);
        widget<QSpinBox>("verifySeconds")->setValue(3);

        const QStringList macs = {"2:0:0:0:0:1", "2:0:0:0:0:2", "2:0:0:0:0:3",
                                  "2:0:0:0:0:4", "2:0:0:0:0:5", "2:0:0:0:0:9"};
        select(macs);
        update()->updateFirmware(image);
        QTRY_VERIFY_WITH_TIMEOUT(!update()->isRunning(), 30000);
        const QStringList outcomes = {
            "back, firmware A → B",
            "refused: install forbidden",
            "failed: upload failed after \\d+ of 16777216 bytes.*",
            "did not come back",
            "skipped: MAC answered by 2 devices \\| skipped: MAC answered by 2 devices",
            "skipped: not found"};
        for (int i = 0; i < macs.size(); ++i)
            QVERIFY2(
                QRegularExpression("^" + outcomes[i] + "$").match(progressOf(macs[i])).hasMatch(),
                qPrintable(macs[i] + ": " + progressOf(macs[i])));
        QCOMPARE(widget<QLabel>("batchSummary")->text(),
                 "Update firmware: 2 done, 2 failed, 0 left, 2 skipped; 1 back, 1 did not come "
                 "back");
        // The list learns the new firmware in place, keeping the outcomes.
        QTRY_COMPARE_WITH_TIMEOUT(view->findItems("2:0:0:0:0:1", Qt::MatchExactly, QHostView::Mac)
                                      .value(0)
                                      ->text(QHostView::Firmware),
                                  "B", 10000);

        auto *retry = widget<QPushButton>("retryFailed");
        QTRY_VERIFY_WITH_TIMEOUT(retry->isEnabled(), 10000);
        QList<qsizetype> expected = installs(sim, "1234");
        expected[1]++;
        expected[2]++;
        retry->click();
        QTRY_VERIFY_WITH_TIMEOUT(!update()->isRunning(), 30000);
        QCOMPARE(installs(sim, "1234"), expected);
        QCOMPARE(widget<QLabel>("batchSummary")->text(),
                 "Update firmware: 0 done, 2 failed, 0 left");
        QCOMPARE(progressOf("2:0:0:0:0:1"), "back, firmware A → B");

        // Two start; once asked to finish, the one that stalls is aborted.
        QTRY_VERIFY_WITH_TIMEOUT(!view->isBusy(), 10000);
        select({"2:0:0:0:0:6", "2:0:0:0:0:7", "2:0:0:0:0:8"});
        update()->updateFirmware(image);
        QTRY_VERIFY(progressOf("2:0:0:0:0:6") != "waiting" &&
                    progressOf("2:0:0:0:0:7") != "waiting");
        QCOMPARE(progressOf("2:0:0:0:0:8"), "waiting");
        update()->stop(BATCH_FINISH);
        const QRegularExpression midway("^\\d+\\.\\d of 16\\.0 MiB$");
        QTRY_VERIFY_WITH_TIMEOUT(progressOf("2:0:0:0:0:7") == "done" &&
                                     midway.match(progressOf("2:0:0:0:0:6")).hasMatch(),
                                 10000);
        QVERIFY(update()->isRunning());
        update()->stop(BATCH_ABORT);
        QTRY_VERIFY_WITH_TIMEOUT(!update()->isRunning(), 5000);
        QVERIFY2(QRegularExpression("^aborted after \\d+\\.\\d of 16\\.0 MiB$")
                     .match(progressOf("2:0:0:0:0:6"))
                     .hasMatch(),
                 qPrintable(progressOf("2:0:0:0:0:6")));
        QCOMPARE(progressOf("2:0:0:0:0:8"), "not started");
        QCOMPARE(installs(sim, "8"), QList<qsizetype>{0});
        QCOMPARE(widget<QLabel>("batchSummary")->text(),
                 "Update firmware: 1 done, 1 failed, 1 left");
    }

    // Three devices sharing an address and one without: counted from a first
    // address, skipping one another device holds; a CSV plan flags that
    // address as taken, and names its bad lines. The counted plan applied,
    // the list shows the devices at their new addresses.
    void assignAddresses()
    {
        SimDevices sim;
        QVERIFY(sim.start({"addr=198.18.0.21,ip=198.18.0.99,mask=255.255.255.0,mac=2:0:0:0:1:1",
                           "addr=198.18.0.22,ip=198.18.0.99,mask=255.255.255.0,mac=2:0:0:0:1:2",
                           "addr=198.18.0.23,ip=198.18.0.99,mask=255.255.255.0,mac=2:0:0:0:1:3",
                           "addr=198.18.0.24,ip=none,mac=2:0:0:0:1:4",
                           "addr=198.18.0.25,ip=198.18.0.51,mac=2:0:0:0:1:5"}));
        discover();
        view->sortItems(QHostView::Mac, Qt::AscendingOrder);
        const QStringList macs = {"2:0:0:0:1:1", "2:0:0:0:1:2", "2:0:0:0:1:3", "2:0:0:0:1:4"};
        select(macs);
        box->findChild<QAction *>("assignAddresses")->trigger();
        auto *plan = box->findChild<AddressPlanDialog *>();
        QVERIFY(plan != nullptr && plan->isVisible());
        auto *table = plan->findChild<QTreeWidget *>("planTable");
        auto *apply = plan->findChild<QPushButton *>("applyPlan");
        const auto rows = [table] {
            QStringList texts;
            for (int i = 0; i < table->topLevelItemCount(); ++i) {
                const QTreeWidgetItem *item = table->topLevelItem(i);
                texts << QStringList{item->text(AddressPlanDialog::Mac),
                                     item->text(AddressPlanDialog::Now),
                                     item->text(AddressPlanDialog::New),
                                     item->text(AddressPlanDialog::Status)}
                             .join(", ");
                const bool flagged = item->text(AddressPlanDialog::Status) != "ready";
                if ((item->foreground(AddressPlanDialog::Status).style() != Qt::NoBrush) != flagged)
                    texts.last() += " (colour)";
            }
            return texts;
        };

        QFile csv(dir.filePath("plan.csv"));
        QVERIFY(csv.open(QIODevice::WriteOnly));
        csv.write("mac,ip,netmask\n2:0:0:0:1:1,198.18.0.51,255.255.255.0\n"
                  "2:0:0:0:1:2,198.18.0.300,255.255.255.0\n");
        csv.close();
        plan->findChild<QRadioButton *>("fromFile")->setChecked(true);
        plan->findChild<QLineEdit *>("planFile")->setText(csv.fileName());
        plan->replan();
        QVERIFY2(plan->findChild<QLabel *>("planErrors")->text().startsWith("line 3: "),
                 qPrintable(plan->findChild<QLabel *>("planErrors")->text()));
        QVERIFY(rows().isEmpty() && !apply->isEnabled());
        QVERIFY(csv.open(QIODevice::WriteOnly));
        csv.write("2:0:0:0:1:1,198.18.0.51,255.255.255.0\n2:0:0:0:1:2,198.18.0.60,255.255.255.0\n");
        csv.close();
        plan->replan();
        QCOMPARE(rows(), (QStringList{"2:0:0:0:1:1, 198.18.0.99 / 255.255.255.0, 198.18.0.51 / "
                                      "255.255.255.0, address taken",
                                      "2:0:0:0:1:2, 198.18.0.99 / 255.255.255.0, 198.18.0.60 / "
                                      "255.255.255.0, ready"}));

        QTest::keyClicks(plan->findChild<QLineEdit *>("firstAddress"), "198.18.0.50");
        plan->findChild<QRadioButton *>("countFrom")->setChecked(true);
        QCOMPARE(rows(),
                 (QStringList{
                     "2:0:0:0:1:1, 198.18.0.99 / 255.255.255.0, 198.18.0.50 / 255.255.255.0, ready",
                     "2:0:0:0:1:2, 198.18.0.99 / 255.255.255.0, 198.18.0.52 / 255.255.255.0, ready",
                     "2:0:0:0:1:3, 198.18.0.99 / 255.255.255.0, 198.18.0.53 / 255.255.255.0, ready",
                     "2:0:0:0:1:4, 0.0.0.0 / 255.0.0.0, 198.18.0.54 / 255.255.255.0, ready"}));
        apply->click();
        QVERIFY(view->isHeld() && !discoverButton->isEnabled());
        QTRY_COMPARE_WITH_TIMEOUT(plan->findChild<QLabel *>("planSummary")->text(),
                                  "4 of 4 devices answer at their new address", 30000);
        for (int i = 0; i < 4; ++i)
            QCOMPARE(table->topLevelItem(i)->text(AddressPlanDialog::Status), "done");
        QTRY_VERIFY_WITH_TIMEOUT(!view->isBusy() && discoverButton->isEnabled(), 10000);
        QStringList addresses;
        for (const QString &mac : macs)
            addresses << view->findItems(mac, Qt::MatchExactly, QHostView::Mac)
                             .value(0)
                             ->text(QHostView::Ip);
        QCOMPARE(addresses,
                 (QStringList{"198.18.0.50", "198.18.0.52", "198.18.0.53", "198.18.0.54"}));
    }
};

QTEST_MAIN(TestFleet)
#include "tst_fleet.moc"
