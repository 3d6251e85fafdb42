#include "mainwindow.h"
#include "qhostview.h"
#include "ready_pipe.h"
#include "window_test.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <arpa/inet.h>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <net/if.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

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
        ReadyPipe ready;
        if (!ready.open())
            return false;
        const int fd = ready.out.get();
        setProcessChannelMode(QProcess::ForwardedErrorChannel);
        // Gone with the test, even when the test dies; the pipe's write end
        // alone is passed on.
        setChildProcessModifier([fd] {
            prctl(PR_SET_PDEATHSIG, SIGTERM);
            fcntl(fd, F_SETFD, 0);
        });
        QProcess::start(SIMDEVICE,
                        QStringList{"--i-am-in-a-namespace", "--ready-fd", QString::number(fd)} +
                            devices);
        return ready.wait();
    }

    // Everything logged so far.
    const QString &readLog()
    {
        log += QString::fromLatin1(readAllStandardOutput());
        return log;
    }

    // Waits, running the event loop, for a line that matches pattern.
    bool waitForLog(const QString &pattern)
    {
        const QRegularExpression line(pattern, QRegularExpression::MultilineOption);
        for (QDeadlineTimer deadline(10000); !line.match(readLog()).hasMatch(); QTest::qWait(20))
            if (deadline.hasExpired())
                return false;
        return true;
    }

  private:
    QString log;
};

// What every run says first here, where only loopback is up.
const QString fallbackNote =
    "No network interface can broadcast: asked through the default route only";

// Lists a row for a device at address, as a run that heard it from there
// would, and returns it.
QTreeWidgetItem *listDevice(const char *address, const char *mac)
{
    DiscoveredDevice device{};
    inet_pton(AF_INET, address, &device.source);
    device.entry.ipaddr = device.source;
    ether_aton_r(mac, &device.entry.mac);
    view->add_item(&device.entry, nullptr, &device.source);
    return view->topLevelItem(view->topLevelItemCount() - 1);
}

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
    QTemporaryDir files;
    const QString small = files.filePath("small");
    const QString large = files.filePath("large");
    // The list and the button as each row arrives.
    int rowsBeforeFirstInsert = -1;
    bool enabledDuringInsert = false;

    QLabel *statusLine() { return box->findChild<QLabel *>("statusLine"); }
    QPushButton *cancelButton() { return box->findChild<QPushButton *>("cancelButton"); }

    // Opens the setup dialog of row and accepts it with fields.
    void acceptOn(QTreeWidgetItem *row, const QStringList &fields)
    {
        acceptDialog(this, fields);
        view->doubleClickedItem(row, QPoint(), QHostView::Hostname);
    }

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
        for (const auto &[path, size] : {std::pair(small, 5000), std::pair(large, 16 << 20)}) {
            QFile image(path);
            QVERIFY(image.open(QIODevice::WriteOnly) && image.write(QByteArray(size, 'i')) == size);
        }
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
        QVERIFY(
            sim.start({"addr=127.1.0.1", "addr=127.1.0.2,answer=first",
                       "addr=127.1.0.3,ip=127.9.9.9,answer=first", "addr=127.1.0.4,ip=127.9.9.9",
                       "addr=127.1.0.5,ip=none,answer=first", "addr=127.1.0.6,ip=none,answer=first",
                       "addr=127.1.0.7,mac=2:0:0:0:0:77,answer=first",
                       "addr=127.1.0.8,mac=2:0:0:0:0:77,answer=first"}));
        // What the tool tip of a marked row adds after the interface.
        const QHash<QString, QString> conflicts = {
            {"127.9.9.9", "Address conflict: also answered by [0-9a-f:]+"},
            {"0.0.0.0", "Also without an address: [0-9a-f:]+"},
            {"127.1.0.7", "MAC conflict: the same MAC also answered from 127\\.1\\.0\\.8"},
            {"127.1.0.8", "MAC conflict: the same MAC also answered from 127\\.1\\.0\\.7"}};
        for (int pass = 0; pass < 3; ++pass) {
            if (pass == 2) {
                sim.terminate();
                sim.waitForFinished();
            }
            const QStringList listed =
                pass < 2 ? QStringList{"0.0.0.0",   "0.0.0.0",   "127.1.0.1", "127.1.0.2",
                                       "127.1.0.7", "127.1.0.8", "127.9.9.9", "127.9.9.9"}
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
    // a new discovery. An impostor answers every setup and install at once
    // with the asked-for MAC, so only the replies from the row's own address
    // may count.
    void setupDialogDrivesExchanges()
    {
        SimDevices sim;
        QVERIFY(sim.start({"addr=127.1.0.1", "addr=127.1.0.2,setup=1,delay=300", "addr=127.1.0.3",
                           "addr=127.1.0.4,install=1", "addr=127.1.0.5,close-after=1000",
                           "addr=127.1.0.9,claim=echo"}));

        // The step's status lines after the run's first (%1 is the MAC) and
        // the device's setup or install line, as patterns; no such line when
        // logged is empty.
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
             {"198.18.0.50", " 255.255.0.0 ", prompts[2]},
             "Setup of %1: success",
             "setup .* ip=198.18.0.50 netmask=255.255.0.0 dhcp=0 result=2 device=127.1.0.1"},
            {"127.1.0.2",
             {"198.18.0.60", "255.255.0.0", prompts[2]},
             "Setup of %1: setup forbidden",
             "setup .* result=1 device=127.1.0.2"},
            {"127.1.0.3",
             {prompts[0], prompts[1], small},
             "(Install on %1: \\d+ of 5000 bytes sent\n)*Install on %1: 5000 of 5000 bytes sent\n"
             "Install on %1: image sent \\(5000 bytes\\)",
             "upload device=127.1.0.3 size=5000 received=5000 .* status=complete"},
            {"127.1.0.4",
             {prompts[0], prompts[1], small},
             "Install on %1: install forbidden",
             "install .* result=1 device=127.1.0.4"},
            {"127.1.0.5",
             {prompts[0], prompts[1], large},
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
            const qsizetype logged = sim.readLog().size();
            acceptOn(rows[0], step.fields);
            QVERIFY(!discoverButton->isEnabled());
            QVERIFY(done.wait(30000));

            QStringList lines;
            for (const QList<QVariant> &line : said)
                lines << line.at(0).toString();
            const QString text = lines.join('\n');
            const QString status = *step.status ? "\n" + QString(step.status).arg(mac) : "";
            QVERIFY2(
                QRegularExpression("^" + QRegularExpression::escape(fallbackNote) + status + "$")
                    .match(text)
                    .hasMatch(),
                qPrintable(text));
            QCOMPARE(statusLine()->text(), lines.last());
            const QString log = sim.readLog().mid(logged);
            const QRegularExpression device(*step.logged ? step.logged : "^(setup|install) ",
                                            QRegularExpression::MultilineOption);
            QVERIFY2(device.match(log).hasMatch() == (*step.logged != 0), qPrintable(log));
        }
        QCOMPARE(listedAddresses(), (QStringList{"127.1.0.2", "127.1.0.3", "127.1.0.4", "127.1.0.5",
                                                 "127.1.0.9", "198.18.0.50"}));
    }

    // Values no device could take are refused before anything is sent, the
    // field named; the simulated device logs every request that reaches it.
    void refusals()
    {
        SimDevices sim;
        QVERIFY(sim.start({"addr=127.1.0.1"}));
        const QString fifo = files.filePath("fifo");
        const QString socketFile = files.filePath("socket");
        const QString huge = files.filePath("huge");
        QVERIFY(mkfifo(QFile::encodeName(fifo).constData(), 0600) == 0);
        // A socket can be looked at but not opened, even by root.
        const int sock = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{AF_UNIX, {}};
        std::strncpy(address.sun_path, QFile::encodeName(socketFile).constData(),
                     sizeof(address.sun_path) - 1);
        QVERIFY(bind(sock, reinterpret_cast<sockaddr *>(&address), sizeof(address)) == 0);
        QFile sparse(huge);
        QVERIFY(sparse.open(QIODevice::WriteOnly) && sparse.resize(Q_INT64_C(1) << 32));

        const QString mac = "2:0:0:0:0:1", ip = "198.18.0.5", mask = "255.255.255.0";
        const struct {
            QString mac;
            QStringList fields;
            const char *named;
        } cases[] = {
            {"0:0:0:0:0:0", {ip, mask, prompts[2]}, "MAC"},
            {"1:0:5e:0:0:1", {prompts[0], prompts[1], small}, "MAC"},
            {mac, {"0.0.0.0", mask, prompts[2]}, "IP field"},
            {mac, {"255.255.255.255", mask, prompts[2]}, "IP field"},
            {mac, {"224.0.0.1", mask, prompts[2]}, "IP field"},
            {mac, {"127.0.0.5", mask, prompts[2]}, "IP field"},
            {mac, {"240.0.0.1", mask, prompts[2]}, "IP field"},
            {mac, {"198.18.0.0", mask, prompts[2]}, "IP field"},
            {mac, {"198.18.0.255", mask, prompts[2]}, "IP field"},
            {mac, {ip, "255.0.255.0", prompts[2]}, "netmask field"},
            {mac, {ip, "0.0.0.0", prompts[2]}, "netmask field"},
            {mac, {prompts[0], prompts[1], fifo}, "file field"},
            {mac, {prompts[0], prompts[1], files.path()}, "file field"},
            {mac, {prompts[0], prompts[1], files.filePath("missing")}, "file field"},
            {mac, {prompts[0], prompts[1], socketFile}, "file field"},
            {mac, {prompts[0], prompts[1], huge}, "file field"},
        };
        for (const auto &refused : cases) {
            acceptOn(listDevice("127.1.0.1", qPrintable(refused.mac)), refused.fields);
            const QString line = statusLine()->text();
            QVERIFY2(line.startsWith(refused.mac + ": not sent: the " + refused.named) &&
                         !line.contains(';'),
                     qPrintable(line));
        }
        QTRY_VERIFY_WITH_TIMEOUT(discoverButton->isEnabled(), 20000);
        close(sock);
        const QString log = sim.readLog();
        QVERIFY2(!QRegularExpression("^(setup|install) ", QRegularExpression::MultilineOption)
                      .match(log)
                      .hasMatch(),
                 qPrintable(log));
    }

    // Cancel ends an upload that the device stopped reading, drops the setup
    // queued behind it, and runs no discovery.
    void cancelStalledUpload()
    {
        SimDevices sim;
        QVERIFY(sim.start({"addr=127.1.0.1,mac=2:0:0:0:0:1,stall-after=65536",
                           "addr=127.1.0.2,mac=2:0:0:0:0:2"}));
        QTreeWidgetItem *stalling = listDevice("127.1.0.1", "2:0:0:0:0:1");
        QTreeWidgetItem *queued = listDevice("127.1.0.2", "2:0:0:0:0:2");
        QVERIFY(!cancelButton()->isEnabled());
        QSignalSpy done(view, &QHostView::refresh_done);
        acceptOn(stalling, {prompts[0], prompts[1], large});
        QTRY_VERIFY_WITH_TIMEOUT(statusLine()->text().endsWith("bytes sent"), 10000);
        QTest::qWait(500);
        acceptOn(queued, {"198.18.0.60", "255.255.0.0", prompts[2]});
        QVERIFY(!statusLine()->text().contains("not sent"));
        QVERIFY(cancelButton()->isEnabled());
        QTest::mouseClick(cancelButton(), Qt::LeftButton);
        // Well before the stall time-out of 30 seconds.
        QVERIFY(done.wait(5000));
        QVERIFY2(
            QRegularExpression("^Install on 2:0:0:0:0:1: cancelled after \\d+ of 16777216 bytes$")
                .match(statusLine()->text())
                .hasMatch(),
            qPrintable(statusLine()->text()));
        QVERIFY(!cancelButton()->isEnabled() && discoverButton->isEnabled());
        QTest::qWait(100);
        QCOMPARE(done.count(), 1);
        const QString log = sim.readLog();
        QVERIFY2(!QRegularExpression("^(setup|discover) ", QRegularExpression::MultilineOption)
                      .match(log)
                      .hasMatch(),
                 qPrintable(log));
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

    // Last, each in a window of its own: closing the window ends whatever
    // wait the run is in at once.
    void closeDuring_data()
    {
        QTest::addColumn<QString>("device"); // keys for 127.1.0.1, MAC 2:0:0:0:0:1
        QTest::addColumn<QStringList>("fields");
        QTest::addColumn<QString>("underWay"); // the device's line once the wait began
        QTest::addColumn<int>("settle");       // and how long after it to close
        QTest::newRow("discovery") << "" << prompts << "^discover " << 0;
        QTest::newRow("reply wait")
            << ",setup=none" << QStringList{"198.18.0.50", "255.255.0.0", prompts[2]} << "^setup "
            << 0;
        // Past the second the exchange grants the device to open its port.
        QTest::newRow("black-holed connect")
            << ",install-port=blackhole" << QStringList{prompts[0], prompts[1], small}
            << "^install " << 1500;
        QTest::newRow("stalled upload")
            << ",stall-after=65536" << QStringList{prompts[0], prompts[1], large} << "^install "
            << 2000;
    }

    void closeDuring()
    {
        QFETCH(QString, device);
        QFETCH(QStringList, fields);
        QFETCH(QString, underWay);
        QFETCH(int, settle);
        box = std::make_unique<QWidget>();
        setup_main_window(*box);
        box->show();
        SimDevices sim;
        QVERIFY(sim.start({"addr=127.1.0.1,mac=2:0:0:0:0:1" + device}));
        acceptOn(listDevice("127.1.0.1", "2:0:0:0:0:1"), fields);
        QVERIFY(sim.waitForLog(underWay));
        QTest::qWait(settle);
        QVERIFY(cancelButton()->isEnabled());

        QElapsedTimer closing;
        closing.start();
        box->close();
        box.reset();
        QVERIFY2(closing.elapsed() < 1500, qPrintable(QString::number(closing.elapsed())));
    }
};

QTEST_MAIN(TestDiscoveryRun)
#include "tst_discoveryrun.moc"
