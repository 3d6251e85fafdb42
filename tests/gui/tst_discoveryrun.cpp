#include "mainwindow.h"
#include "qhostview.h"
#include "window_test.h"

#include <QElapsedTimer>
#include <QHash>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryFile>
#include <csignal>
#include <memory>
#include <net/if.h>
#include <sys/prctl.h>

namespace
{

// The simulated devices, serving in this namespace until destroyed; they log
// to their standard output.
class SimDevices : public QProcess
{
  public:
    ~SimDevices() override
    {
        terminate();
        waitForFinished();
    }

    // Call only where onlyLoopback() holds, which the test case checks first.
    bool start(const QStringList &devices)
    {
        setProcessChannelMode(QProcess::ForwardedErrorChannel);
        // Gone with the test, even when the test dies.
        setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGTERM); });
        QProcess::start(SIMDEVICE, QStringList{"--i-am-in-a-namespace"} + devices);
        return waitForReadyRead(10000) && readLine().startsWith("ready devices=");
    }
};

QStringList listedAddresses()
{
    QStringList addresses;
    for (int row = 0; row < view->topLevelItemCount(); ++row)
        addresses << view->topLevelItem(row)->text(QHostView::Ip);
    addresses.sort();
    return addresses;
}

bool onlyLoopback()
{
    struct if_nameindex *names = if_nameindex();
    bool only = names != nullptr && names[0].if_index != 0 &&
                QByteArray(names[0].if_name) == "lo" && names[1].if_index == 0;
    if_freenameindex(names);
    return only;
}

} // namespace

class TestDiscoveryRun : public QObject
{
    Q_OBJECT

    std::unique_ptr<QWidget> box = std::make_unique<QWidget>();
    // The list and the button as each row arrives.
    int rowsBeforeFirstInsert = -1;
    bool enabledDuringInsert = false;

    // Presses "Discover" and waits for the run to end.
    bool discover(QSignalSpy &done)
    {
        rowsBeforeFirstInsert = -1;
        enabledDuringInsert = false;
        QTest::mouseClick(discoverButton, Qt::LeftButton);
        return !discoverButton->isEnabled() && done.wait(20000);
    }

  private slots:
    void initTestCase()
    {
        QVERIFY2(onlyLoopback(), "not in a private network namespace: run through netns-run");
        setup_main_window(*box);
        box->show();
        connect(view->model(), &QAbstractItemModel::rowsAboutToBeInserted, this, [this] {
            if (rowsBeforeFirstInsert < 0)
                rowsBeforeFirstInsert = view->topLevelItemCount();
            enabledDuringInsert = enabledDuringInsert || discoverButton->isEnabled();
        });
    }

    // Every kind of device at once, twice, so that the second run starts
    // with the first one's rows; then without devices.
    void run()
    {
        SimDevices sim;
        QVERIFY(sim.start({"addr=127.1.0.1", "addr=127.1.0.2,answer=first",
                           "addr=127.1.0.3,ip=127.9.9.9,answer=first",
                           "addr=127.1.0.4,ip=127.9.9.9", "addr=127.1.0.5,ip=none,answer=first",
                           "addr=127.1.0.6,ip=none,answer=first"}));
        // What the tool tip of a marked row adds after the interface.
        const QHash<QString, QString> conflicts = {
            {"127.9.9.9", "Address conflict: also answered by [0-9a-f:]+"},
            {"0.0.0.0", "Also without an address: [0-9a-f:]+"}};
        for (int pass = 0; pass < 3; ++pass) {
            if (pass == 2) {
                sim.terminate();
                sim.waitForFinished();
            }
            const QStringList listed = pass < 2 ? QStringList{"0.0.0.0",   "0.0.0.0",   "127.1.0.1",
                                                              "127.1.0.2", "127.9.9.9", "127.9.9.9"}
                                                : QStringList();
            OutputCapture err(STDERR_FILENO);
            QSignalSpy done(view, &QHostView::refresh_done);
            QElapsedTimer sinceRequests;
            sinceRequests.start();
            QVERIFY(discover(done));
            QVERIFY(discoverButton->isEnabled());
            QVERIFY(!enabledDuringInsert);
            QCOMPARE(rowsBeforeFirstInsert, pass < 2 ? 0 : -1);
            QCOMPARE(listedAddresses(), listed);
            QCOMPARE(done.at(0).at(0).toInt(), listed.size());
            // 127.1.0.1 twice, 127.9.9.9 three times, 0.0.0.0 once.
            QCOMPARE(err.text().count("skipping duplicate or conflicting device on address "),
                     pass < 2 ? 6 : 0);
            for (int row = 0; row < view->topLevelItemCount(); ++row) {
                QTreeWidgetItem *item = view->topLevelItem(row);
                const QString conflict = conflicts.value(item->text(QHostView::Ip));
                QCOMPARE(item->icon(QHostView::Ip).isNull(), conflict.isEmpty());
                // Only loopback here, so the run used the wildcard address.
                const QRegularExpression tip(
                    "^Found through the default interface \\(any address\\)" +
                    (conflict.isEmpty() ? QString() : "\n" + conflict) + "$");
                QVERIFY2(tip.match(item->toolTip(QHostView::Ip)).hasMatch(),
                         qPrintable(item->toolTip(QHostView::Ip)));
            }
            // The run ends only after 2 seconds without any datagram.
            QVERIFY(sinceRequests.elapsed() >= 1900);
        }
    }

    // One device per outcome; each accepted dialog runs its exchanges, then
    // a new discovery.
    void setupDialogDrivesExchanges()
    {
        SimDevices sim;
        QVERIFY(sim.start({"addr=127.1.0.1", "addr=127.1.0.2,setup=1", "addr=127.1.0.3",
                           "addr=127.1.0.4,install=1", "addr=127.1.0.5,close-after=1000"}));
        QTemporaryFile small, large;
        QVERIFY(small.open() && large.open());
        small.write(QByteArray(5000, 's'));
        large.write(QByteArray(16 << 20, 'l'));
        small.flush();
        large.flush();

        // The step's status lines (%1 is the MAC) and the device's setup or
        // install line, as patterns; no such line when logged is empty.
        const struct {
            const char *address;
            QStringList fields;
            const char *status;
            const char *logged;
        } steps[] = {
            {"127.1.0.4", prompts, "", ""},
            {"127.1.0.4",
             {"300.1.2.3", "255.255.255.0", "/nonexistent/image"},
             "%1: not sent: (?!.*netmask).*IP field.*file field.*",
             ""},
            {"127.1.0.1",
             {"127.1.0.50", " 255.255.0.0 ", prompts[2]},
             "Setup of %1: success",
             "setup .* ip=127.1.0.50 netmask=255.255.0.0 dhcp=0 result=2 device=127.1.0.1"},
            {"127.1.0.2",
             {"127.1.0.60", "255.255.0.0", prompts[2]},
             "Setup of %1: setup forbidden",
             "setup .* result=1 device=127.1.0.2"},
            {"127.1.0.3",
             {prompts[0], prompts[1], small.fileName()},
             "(Install on %1: \\d+ of 5000 bytes sent\n)*Install on %1: 5000 of 5000 bytes sent\n"
             "Install on %1: image sent \\(5000 bytes\\)",
             "upload device=127.1.0.3 size=5000 received=5000 .* status=complete"},
            {"127.1.0.4",
             {prompts[0], prompts[1], small.fileName()},
             "Install on %1: install forbidden",
             "install .* result=1 device=127.1.0.4"},
            {"127.1.0.5",
             {prompts[0], prompts[1], large.fileName()},
             "(Install on %1: \\d+ of 16777216 bytes sent\n)*"
             "Install on %1: upload failed after \\d+ of 16777216 bytes.*",
             "upload device=127.1.0.5 size=16777216 .* status=closed"},
        };
        QSignalSpy done(view, &QHostView::refresh_done);
        QVERIFY(discover(done));
        for (const auto &step : steps) {
            const auto rows = view->findItems(step.address, Qt::MatchExactly, QHostView::Ip);
            QVERIFY2(rows.size() == 1, step.address);
            const QString mac = rows[0]->text(QHostView::Mac);
            QSignalSpy said(view, &QHostView::statusMessage);
            acceptDialog(this, step.fields);
            view->doubleClickedItem(rows[0], QPoint(), QHostView::Hostname);
            QVERIFY(!discoverButton->isEnabled());
            QVERIFY(done.wait(30000));

            QStringList lines;
            for (const QList<QVariant> &line : said)
                lines << line.at(0).toString();
            const QString text = lines.join('\n');
            QVERIFY2(QRegularExpression("^" + QString(step.status).arg(mac) + "$")
                         .match(text)
                         .hasMatch(),
                     qPrintable(text));
            QCOMPARE(box->findChild<QLabel *>("statusLine")->text(), lines.value(lines.size() - 1));
            const QString log = QString::fromLatin1(sim.readAllStandardOutput());
            const QRegularExpression logged(*step.logged ? step.logged : "^(setup|install) ",
                                            QRegularExpression::MultilineOption);
            QVERIFY2(logged.match(log).hasMatch() == (*step.logged != 0), qPrintable(log));
        }
        QCOMPARE(listedAddresses(),
                 (QStringList{"127.1.0.2", "127.1.0.3", "127.1.0.4", "127.1.0.5", "127.1.0.50"}));
    }

    void startDuringRunWaitsForIt()
    {
        QSignalSpy done(view, &QHostView::refresh_done);
        bool enabledAfterFirst = true;
        connect(
            view, &QHostView::refresh_done, this,
            [&] { enabledAfterFirst = discoverButton->isEnabled(); }, Qt::SingleShotConnection);
        OutputCapture out(STDOUT_FILENO);
        view->refresh();
        view->refresh();
        QTRY_COMPARE_WITH_TIMEOUT(done.count(), 2, 20000);
        QVERIFY(!enabledAfterFirst);
        QVERIFY(discoverButton->isEnabled());
        QCOMPARE(out.text().count("Performing discover\n"), 2);
    }

    // Last: closes the window during a run, which must stop the run rather
    // than wait out the silence.
    void closeDuringRun()
    {
        OutputCapture err(STDERR_FILENO);
        OutputCapture out(STDOUT_FILENO);
        view->refresh();
        QTRY_VERIFY(out.text().contains("Performing discover\n"));
        box.reset();
        QVERIFY(!err.text().contains("read_discover_packet: timeout"));
    }
};

QTEST_MAIN(TestDiscoveryRun)
#include "tst_discoveryrun.moc"
