#include "dialog_driver.h"
#include "mainwindow.h"
#include "output_capture.h"
#include "qhostview.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QTest>
#include <csignal>
#include <net/if.h>
#include <sys/prctl.h>

namespace
{

// The simulated devices, serving in this namespace until destroyed.
class SimDevices
{
  public:
    ~SimDevices()
    {
        process.terminate();
        process.waitForFinished();
    }

    // Call only where onlyLoopback() holds, which the test case checks first.
    QString start(const QStringList &devices)
    {
        const QString log = dir.filePath("sim.log");
        process.setProcessChannelMode(QProcess::ForwardedChannels);
        // Gone with the test, even when the test dies.
        process.setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGTERM); });
        process.start(SIMDEVICE, QStringList{"--i-am-in-a-namespace", "--log", log} + devices);
        if (!process.waitForStarted())
            return process.errorString();
        QFile file(log);
        for (QDeadlineTimer deadline(10000); !deadline.hasExpired(); QTest::qWait(20)) {
            if (process.state() != QProcess::Running)
                return "the simulated devices exited";
            if (file.open(QIODevice::ReadOnly) && file.readLine().startsWith("ready devices="))
                return QString();
            file.close();
        }
        return "the simulated devices never got ready";
    }

    QByteArray log() const
    {
        QFile file(dir.filePath("sim.log"));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

  private:
    QTemporaryDir dir;
    QProcess process;
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

  private:
    QWidget box;
    // The list and the button as each row arrives.
    int rowsBeforeFirstInsert = -1;
    bool enabledDuringInsert = false;

    // Presses "Discover" and waits for the run to end.
    bool discover()
    {
        QSignalSpy done(view, &QHostView::refresh_done);
        press();
        return done.wait(20000);
    }

    void press()
    {
        rowsBeforeFirstInsert = -1;
        enabledDuringInsert = false;
        QTest::mouseClick(discoverButton, Qt::LeftButton);
    }

  private slots:
    void initTestCase()
    {
        QVERIFY2(onlyLoopback(), "not in a private network namespace: run through netns-run");
        setup_main_window(box);
        box.show();
        connect(view->model(), &QAbstractItemModel::rowsAboutToBeInserted, this, [this] {
            if (rowsBeforeFirstInsert < 0)
                rowsBeforeFirstInsert = view->topLevelItemCount();
            enabledDuringInsert = enabledDuringInsert || discoverButton->isEnabled();
        });
    }

    void run_data()
    {
        QTest::addColumn<QStringList>("devices");
        QTest::addColumn<QStringList>("listed");
        QTest::addColumn<int>("skipped");
        // Rows marked because another device answered for their address.
        QTest::addColumn<int>("marked");

        QTest::newRow("answers all three requests")
            << QStringList{"addr=127.1.0.1"} << QStringList{"127.1.0.1"} << 2 << 0;
        QTest::newRow("several devices, each once")
            << QStringList{"addr=127.1.0.1,answer=first", "addr=127.1.0.2,host=b%e9",
                           "addr=127.1.0.3,answer=first,fw=long%20firmware%20text"}
            << QStringList{"127.1.0.1", "127.1.0.2", "127.1.0.3"} << 2 << 0;
        QTest::newRow("duplicate address")
            << QStringList{"addr=127.1.0.1,ip=127.9.9.9,answer=first",
                           "addr=127.1.0.2,ip=127.9.9.9,answer=first"}
            << QStringList{"127.9.9.9"} << 1 << 1;
        QTest::newRow("devices without an address")
            << QStringList{"addr=127.1.0.1,ip=none,answer=first",
                           "addr=127.1.0.2,ip=none,answer=first"}
            << QStringList{"0.0.0.0"} << 1 << 1;
        QTest::newRow("replies that are no reply to this run")
            << QStringList{"addr=127.1.0.1,answer=first", "addr=127.1.0.2,session=other",
                           "addr=127.1.0.3,reply=malformed", "addr=127.1.0.4,reply=wrongtype"}
            << QStringList{"127.1.0.1"} << 0 << 0;
        QTest::newRow("no devices") << QStringList() << QStringList() << 0 << 0;
    }

    void run()
    {
        QFETCH(QStringList, devices);
        QFETCH(QStringList, listed);
        QFETCH(int, skipped);
        QFETCH(int, marked);
        SimDevices sim;
        if (!devices.isEmpty()) {
            const QString error = sim.start(devices);
            QVERIFY2(error.isEmpty(), qPrintable(error));
        }

        OutputCapture err(STDERR_FILENO);
        QSignalSpy done(view, &QHostView::refresh_done);
        QElapsedTimer sinceRequests;
        sinceRequests.start();
        press();
        QVERIFY(!discoverButton->isEnabled());
        QVERIFY(done.wait(20000));

        QVERIFY(discoverButton->isEnabled());
        QVERIFY(!enabledDuringInsert);
        QCOMPARE(listedAddresses(), listed);
        QCOMPARE(done.at(0).at(0).toInt(), listed.size());
        QCOMPARE(err.count("skipping duplicate or conflicting device on address "), skipped);
        int markedRows = 0;
        for (int row = 0; row < view->topLevelItemCount(); ++row) {
            QTreeWidgetItem *item = view->topLevelItem(row);
            markedRows += item->icon(QHostView::Ip).isNull() ? 0 : 1;
            // Only loopback here, so the run used the wildcard address.
            QVERIFY(item->data(QHostView::Ip, Qt::ToolTipRole)
                        .toString()
                        .startsWith("Found through the default interface"));
        }
        QCOMPARE(markedRows, marked);
        // The run ends only after 2 seconds without any datagram.
        QVERIFY(sinceRequests.elapsed() >= 1900);
    }

    void setupDialogDrivesExchanges_data()
    {
        QTest::addColumn<QString>("device");
        QTest::addColumn<QStringList>("fields");
        QTest::addColumn<int>("imageSize");
        // The last status line without its "Setup of MAC: " or "Install on
        // MAC: " start, the device's address in the next run, and a line the
        // device must have logged.
        QTest::addColumn<QString>("status");
        QTest::addColumn<QString>("listedAfter");
        QTest::addColumn<QString>("logged");

        QTest::newRow("setup accepted")
            << "addr=127.1.0.1" << QStringList{"127.1.0.50", "255.255.0.0", prompts[2]} << 0
            << "success"
            << "127.1.0.50"
            << "netmask=255.255.0.0 dhcp=0 result=2";
        QTest::newRow("setup forbidden")
            << "addr=127.1.0.1,setup=1" << QStringList{"127.1.0.50", "255.255.0.0", prompts[2]} << 0
            << "setup forbidden"
            << "127.1.0.1"
            << "result=1";
        QTest::newRow("image sent")
            << "addr=127.1.0.1" << QStringList{prompts[0], prompts[1], "image"} << 5000
            << "image sent (5000 bytes)"
            << "127.1.0.1"
            << "size=5000 received=5000";
        QTest::newRow("install forbidden")
            << "addr=127.1.0.1,install=1" << QStringList{prompts[0], prompts[1], "image"} << 10
            << "install forbidden"
            << "127.1.0.1"
            << "install session=";
        QTest::newRow("device hangs up during the upload")
            << "addr=127.1.0.1,close-after=1000" << QStringList{prompts[0], prompts[1], "image"}
            << (16 << 20) << "upload failed after"
            << "127.1.0.1"
            << "status=closed";
    }

    void setupDialogDrivesExchanges()
    {
        QFETCH(QString, device);
        QFETCH(QStringList, fields);
        QFETCH(int, imageSize);
        QFETCH(QString, status);
        QFETCH(QString, listedAfter);
        QFETCH(QString, logged);
        SimDevices sim;
        const QString error = sim.start({device});
        QVERIFY2(error.isEmpty(), qPrintable(error));
        QTemporaryFile image;
        QVERIFY(image.open());
        image.write(QByteArray(imageSize, 'i'));
        image.flush();
        fields.replaceInStrings(QRegularExpression("^image$"), image.fileName());

        QVERIFY(discover());
        QCOMPARE(view->topLevelItemCount(), 1);
        const QString mac = view->topLevelItem(0)->text(QHostView::Mac);
        QSignalSpy done(view, &QHostView::refresh_done);
        QSignalSpy said(view, &QHostView::statusMessage);
        onDialog(this, [fields] {
            setDialogFields(fields);
            QTest::mouseClick(dialogWidget(5), Qt::LeftButton);
        });
        view->doubleClickedItem(view->topLevelItem(0), QPoint(), QHostView::Hostname);
        QVERIFY(done.wait(30000));
        setDialogFields(prompts);

        QVERIFY(!said.isEmpty());
        const QString last = said.last().at(0).toString();
        QVERIFY2(
            last.startsWith((imageSize > 0 ? "Install on " : "Setup of ") + mac + ": " + status),
            qPrintable(last));
        if (status.startsWith("image sent"))
            QVERIFY(said.at(said.count() - 2).at(0).toString().endsWith("of 5000 bytes sent"));
        QCOMPARE(listedAddresses(), QStringList{listedAfter});
        QVERIFY2(sim.log().contains(logged.toLatin1()), sim.log().constData());
    }

    void nextRunStartsWithEmptyList()
    {
        SimDevices sim;
        const QString error = sim.start({"addr=127.1.0.1,host=again"});
        QVERIFY2(error.isEmpty(), qPrintable(error));
        QSignalSpy done(view, &QHostView::refresh_done);
        for (int run = 1; run <= 2; ++run) {
            press();
            QVERIFY(done.wait(20000));
            QCOMPARE(rowsBeforeFirstInsert, 0);
            QCOMPARE(listedAddresses(), QStringList{"127.1.0.1"});
        }
    }
};

QTEST_MAIN(TestDiscoveryRun)
#include "tst_discoveryrun.moc"
