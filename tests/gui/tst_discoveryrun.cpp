// Runs, setups and installs from the window against simulated devices.
#include "ready_pipe.h"
#include "window_test.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <csignal>
#include <fcntl.h>
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

    // Whether a line logged so far, or within wait ms, matches pattern.
    bool logged(const QString &pattern, int wait = 0)
    {
        const QRegularExpression line(pattern, QRegularExpression::MultilineOption);
        const QDeadlineTimer deadline(wait);
        while (!line.match(log += QString::fromLatin1(readAllStandardOutput())).hasMatch()) {
            if (deadline.hasExpired())
                return false;
            QTest::qWait(20);
        }
        return true;
    }

    QString log;
};

// What every run says first here, where only loopback is up.
const QString fallbackNote =
    "No network interface can broadcast: asked through the default route only";

QString saidLines(const QSignalSpy &said)
{
    QStringList lines;
    for (const QList<QVariant> &line : said)
        lines << line.at(0).toString();
    return lines.join('\n');
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

    std::unique_ptr<QWidget> box;
    QTemporaryDir files;
    const QString small = files.filePath("small");
    const QString large = files.filePath("large");

    QLabel *statusLine() { return box->findChild<QLabel *>("statusLine"); }
    QPushButton *cancelButton() { return box->findChild<QPushButton *>("cancelButton"); }

    // Opens the setup dialog of row and accepts it with fields.
    void acceptOn(QTreeWidgetItem *row, const QStringList &fields)
    {
        onDialog(this, [fields] {
            setDialogFields(fields);
            QTest::mouseClick(dialogWidget(5), Qt::LeftButton);
        });
        view->doubleClickedItem(row, QPoint(), QHostView::Hostname);
    }

  private slots:
    void initTestCase()
    {
        QVERIFY2(onlyLoopback(), "not in a private network namespace: run through netns-run");
        for (const auto &[path, size] : {std::pair(small, 5000), std::pair(large, 16 << 20)}) {
            QFile image(path);
            QVERIFY(image.open(QIODevice::WriteOnly) && image.write(QByteArray(size, 'i')) == size);
        }
    }

    // A window of its own for each case.
    void init()
    {
        box = std::make_unique<QWidget>();
        setup_main_window(*box);
        box->show();
    }

    // Every kind of device, one per exchange outcome (device N at 127.1.1.N
    // with MAC 2:0:0:0:1:N), and an impostor that answers every setup and
    // install at once with the asked-for MAC, so only the replies from the
    // row's own address may count. Setups and installs accepted during a
    // discovery wait for it and run in turn; a second discovery then lists
    // the devices as they are, and only then "Discover" comes back.
    void run()
    {
        SimDevices sim;
        QVERIFY(sim.start(
            {"addr=127.1.0.1", "addr=127.1.0.2,answer=first",
             "addr=127.1.0.3,ip=127.9.9.9,mac=2:0:0:0:0:3,answer=first",
             "addr=127.1.0.4,ip=127.9.9.9,mac=2:0:0:0:0:4",
             "addr=127.1.0.5,ip=none,mac=2:0:0:0:0:5,answer=first",
             "addr=127.1.0.6,ip=none,mac=2:0:0:0:0:6,answer=first",
             "addr=127.1.0.7,mac=2:0:0:0:0:77,answer=first",
             "addr=127.1.0.8,mac=2:0:0:0:0:77,answer=first", "addr=127.1.1.1,mac=2:0:0:0:1:1",
             "addr=127.1.1.2,mac=2:0:0:0:1:2,setup=1,delay=300", "addr=127.1.1.3,mac=2:0:0:0:1:3",
             "addr=127.1.1.4,mac=2:0:0:0:1:4,install=1",
             "addr=127.1.1.5,mac=2:0:0:0:1:5,close-after=1000", "addr=127.1.1.9,claim=echo"}));
        const QStringList fields[] = {{"198.18.0.50", " 255.255.0.0 ", prompts[2]},
                                      {"198.18.0.60", "255.255.0.0", prompts[2]},
                                      {prompts[0], prompts[1], small},
                                      {prompts[0], prompts[1], small},
                                      {prompts[0], prompts[1], large},
                                      {"300.1.2.3", "255.255.255.0", "/nonexistent/image"}};
        listDevice("127.1.0.99", "2:0:0:0:0:99"); // left from an earlier run
        bool enabledDuringInsert = false;
        QObject watch; // ends the watching with the test
        connect(view->model(), &QAbstractItemModel::rowsAboutToBeInserted, &watch,
                [&] { enabledDuringInsert = enabledDuringInsert || discoverButton->isEnabled(); });
        QSignalSpy busy(view, &QHostView::busyChanged);
        QSignalSpy done(view, &QHostView::refresh_done);
        QSignalSpy said(view, &QHostView::statusMessage);
        QVERIFY(!cancelButton()->isEnabled());
        QTest::mouseClick(discoverButton, Qt::LeftButton);
        QVERIFY(!discoverButton->isEnabled() && cancelButton()->isEnabled());
        for (int n = 1; n <= 6; ++n)
            acceptOn(listDevice(qPrintable(QString("127.1.1.%1").arg(n)),
                                qPrintable(QString("2:0:0:0:1:%1").arg(n))),
                     fields[n - 1]);
        QCOMPARE(done.count(), 0);
        QTRY_COMPARE_WITH_TIMEOUT(done.count(), 2, 30000);
        QCOMPARE(busy, (QList<QList<QVariant>>{{true}, {false}}));
        QVERIFY(!enabledDuringInsert && discoverButton->isEnabled() &&
                !cancelButton()->isEnabled());

        // The refused request says so at once.
        const QString expected =
            QStringList{fallbackNote,
                        "2:0:0:0:1:6: not sent: (?!.*netmask).*IP field.*file field.*",
                        fallbackNote,
                        "Setup of 2:0:0:0:1:1: success",
                        "Setup of 2:0:0:0:1:2: setup forbidden",
                        "(Install on 2:0:0:0:1:3: \\d+ of 5000 bytes sent\n)*"
                        "Install on 2:0:0:0:1:3: 5000 of 5000 bytes sent",
                        "Install on 2:0:0:0:1:3: image sent \\(5000 bytes\\)",
                        "Install on 2:0:0:0:1:4: install forbidden",
                        "(Install on 2:0:0:0:1:5: \\d+ of 16777216 bytes sent\n)*"
                        "Install on 2:0:0:0:1:5: upload failed after \\d+ of 16777216 bytes.*"}
                .join('\n');
        QVERIFY2(QRegularExpression("^" + expected + "$").match(saidLines(said)).hasMatch(),
                 qPrintable(saidLines(said)));
        QCOMPARE(statusLine()->text(), said.last().at(0).toString());
        for (const char *line :
             {"^setup .* mac=02:00:00:00:01:01 ip=198.18.0.50 netmask=255.255.0.0 dhcp=0 "
              "result=2 device=127.1.1.1$",
              "^setup .* mac=02:00:00:00:01:02 .* result=1 device=127.1.1.2$",
              "^upload device=127.1.1.3 size=5000 received=5000 .* status=complete$",
              "^install .* mac=02:00:00:00:01:04 result=1 device=127.1.1.4$",
              "^upload device=127.1.1.5 size=16777216 .* status=closed$"})
            QVERIFY2(sim.logged(line), line);
        QVERIFY2(!sim.logged("^(setup|install) .* mac=02:00:00:00:01:06 "), qPrintable(sim.log));

        // Each row's address and the marks its tool tip adds after the interface.
        QStringList rows;
        for (int row = 0; row < view->topLevelItemCount(); ++row) {
            const QTreeWidgetItem *item = view->topLevelItem(row);
            QStringList tip = item->toolTip(QHostView::Ip).split('\n');
            // Only loopback here, so every run uses the wildcard address.
            QCOMPARE(tip.takeFirst(), "Found through the default interface (any address)");
            QCOMPARE(item->icon(QHostView::Ip).isNull(), tip.isEmpty());
            rows << (QStringList{item->text(QHostView::Ip)} + tip).join(" / ");
        }
        rows.sort();
        QCOMPARE(rows,
                 (QStringList{
                     "0.0.0.0 / Also without an address: 2:0:0:0:0:5",
                     "0.0.0.0 / Also without an address: 2:0:0:0:0:6", "127.1.0.1", "127.1.0.2",
                     "127.1.0.7 / MAC conflict: the same MAC also answered from 127.1.0.8",
                     "127.1.0.8 / MAC conflict: the same MAC also answered from 127.1.0.7",
                     "127.1.1.2", "127.1.1.3", "127.1.1.4", "127.1.1.5", "127.1.1.9",
                     "127.9.9.9 / Address conflict: also answered by 2:0:0:0:0:3",
                     "127.9.9.9 / Address conflict: also answered by 2:0:0:0:0:4", "198.18.0.50"}));
        QCOMPARE(done.at(1).at(0).toInt(), rows.size());
    }

    // Esc (the Cancel button's key) or closing the window ends whatever wait
    // the run is in at once, and drops the setup queued behind it: the next
    // run carries nothing of it, is not cancelled, and clears the list though
    // nothing answers it.
    void endsPromptly_data()
    {
        QTest::addColumn<QString>("device"); // keys for 127.1.0.1, MAC 2:0:0:0:0:1
        QTest::addColumn<QStringList>("fields");
        QTest::addColumn<QString>("underWay"); // the device's line once the wait began
        QTest::addColumn<int>("settle");       // and how long after it to end
        // The status line after Esc, as a pattern; "" to close the window.
        QTest::addColumn<QString>("said");
        QTest::newRow("discovery, Esc")
            << "" << prompts << "^discover " << 0 << "Discovery cancelled";
        QTest::newRow("reply wait, close")
            << ",setup=none" << QStringList{"198.18.0.50", "255.255.0.0", ""} << "^setup " << 0
            << "";
        QTest::newRow("stalled upload, Esc")
            << ",stall-after=65536" << QStringList{prompts[0], prompts[1], large} << "^install "
            << 1000 << "Install on 2:0:0:0:0:1: cancelled after \\d+ of 16777216 bytes";
    }

    void endsPromptly()
    {
        QFETCH(QString, device);
        QFETCH(QStringList, fields);
        QFETCH(QString, underWay);
        QFETCH(int, settle);
        QFETCH(QString, said);
        SimDevices sim;
        QVERIFY(sim.start(
            {"addr=127.1.0.1,mac=2:0:0:0:0:1" + device, "addr=127.1.0.2,mac=2:0:0:0:0:2"}));
        acceptOn(listDevice("127.1.0.1", "2:0:0:0:0:1"), fields);
        QVERIFY(sim.logged(underWay, 10000));
        QTest::qWait(settle);
        acceptOn(listDevice("127.1.0.2", "2:0:0:0:0:2"), {"198.18.0.60", "255.255.0.0", ""});
        QVERIFY(cancelButton()->isEnabled());
        box->activateWindow();
        QTRY_COMPARE(QApplication::activeWindow(), box.get());

        QSignalSpy done(view, &QHostView::refresh_done);
        QElapsedTimer ending;
        ending.start();
        if (said.isEmpty())
            box.reset(); // as the app does once its window is closed
        else
            QTest::keyClick(box.get(), Qt::Key_Escape);
        QVERIFY(box == nullptr || done.wait(5000));
        // Well before any of the waits' time-outs.
        QVERIFY2(ending.elapsed() < 1500, qPrintable(QString::number(ending.elapsed())));
        if (box == nullptr)
            return;
        QVERIFY2(QRegularExpression("^" + said + "$").match(statusLine()->text()).hasMatch(),
                 qPrintable(statusLine()->text()));
        QVERIFY(!cancelButton()->isEnabled() && discoverButton->isEnabled());

        sim.terminate();
        sim.waitForFinished();
        QSignalSpy next(view, &QHostView::statusMessage);
        QTest::mouseClick(discoverButton, Qt::LeftButton);
        QVERIFY(done.wait(20000));
        QCOMPARE(saidLines(next), fallbackNote);
        QCOMPARE(view->topLevelItemCount(), 0);
    }
};

QTEST_MAIN(TestDiscoveryRun)
#include "tst_discoveryrun.moc"
