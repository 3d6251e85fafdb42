#include "setuprequest.h"

#include <QTemporaryFile>
#include <QTest>
#include <arpa/inet.h>
#include <cerrno>

namespace
{

QString dotted(in_addr address)
{
    char text[INET_ADDRSTRLEN];
    return QString::fromLatin1(inet_ntop(AF_INET, &address, text, sizeof(text)));
}

ExchangeReport report(int stage, int result = 0, int error = 0, uint64_t sent = 0,
                      uint64_t size = 0)
{
    ExchangeReport r{};
    r.stage = stage;
    r.result = result;
    r.error = error;
    r.sent = sent;
    r.image_size = size;
    return r;
}

} // namespace

class TestSetupRequest : public QObject
{
    Q_OBJECT

  private:
    QTemporaryFile image;

  private slots:
    void initTestCase() { QVERIFY(image.open()); }

    void readFields_data()
    {
        QTest::addColumn<QString>("ip");
        QTest::addColumn<QString>("netmask");
        QTest::addColumn<bool>("dhcp");
        QTest::addColumn<QString>("file");
        // What is sent: "-" for no setup, else "IP NETMASK DHCP"; the image
        // path or "-"; and a word the problem line must hold ("" for none).
        QTest::addColumn<QString>("setup");
        QTest::addColumn<QString>("install");
        QTest::addColumn<QString>("problem");

        const QString file = image.fileName();
        QTest::newRow("nothing asked") << ""
                                       << "" << false << ""
                                       << "-"
                                       << "-"
                                       << "";
        QTest::newRow("address and netmask") << "192.0.2.5"
                                             << "255.255.255.0" << false << ""
                                             << "192.0.2.5 255.255.255.0 0"
                                             << "-"
                                             << "";
        QTest::newRow("DHCP alone") << ""
                                    << "" << true << ""
                                    << "0.0.0.0 0.0.0.0 1"
                                    << "-"
                                    << "";
        QTest::newRow("DHCP with an address") << "192.0.2.5"
                                              << "" << true << ""
                                              << "192.0.2.5 0.0.0.0 1"
                                              << "-"
                                              << "";
        QTest::newRow("address without netmask") << "192.0.2.5"
                                                 << "" << false << ""
                                                 << "-"
                                                 << "-"
                                                 << "both";
        QTest::newRow("short address") << "192.0.2"
                                       << "255.0.0.0" << true << ""
                                       << "-"
                                       << "-"
                                       << "IP field";
        QTest::newRow("netmask text") << "192.0.2.5"
                                      << "mask" << false << ""
                                      << "-"
                                      << "-"
                                      << "netmask field";
        QTest::newRow("image") << ""
                               << "" << false << file << "-" << file << "";
        QTest::newRow("missing image, setup still sent") << "192.0.2.5"
                                                         << "255.0.0.0" << false << "/nonexistent"
                                                         << "192.0.2.5 255.0.0.0 0"
                                                         << "-"
                                                         << "file field";
        QTest::newRow("directory as image") << ""
                                            << "" << false << "/"
                                            << "-"
                                            << "-"
                                            << "file field";
    }

    void readFields()
    {
        QFETCH(QString, ip);
        QFETCH(QString, netmask);
        QFETCH(bool, dhcp);
        QFETCH(QString, file);
        QFETCH(QString, setup);
        QFETCH(QString, install);
        QFETCH(QString, problem);

        SetupRequest request;
        request.macText = "0:a:95:1:2b:ff";
        const QString line = read_setup_fields({ip, netmask, dhcp, file}, &request);

        const QString sent = request.setup ? QString("%1 %2 %3")
                                                 .arg(dotted(request.ipaddr))
                                                 .arg(dotted(request.netmask))
                                                 .arg(request.dhcp ? 1 : 0)
                                           : QString("-");
        QCOMPARE(sent, setup);
        QCOMPARE(request.install ? QString::fromLocal8Bit(request.image) : QString("-"), install);
        if (problem.isEmpty())
            QCOMPARE(line, QString());
        else
            QVERIFY2(line.startsWith("0:a:95:1:2b:ff: not sent: ") && line.contains(problem),
                     qPrintable(line));
    }

    void describe_data()
    {
        QTest::addColumn<bool>("install");
        QTest::addColumn<ExchangeReport>("report");
        QTest::addColumn<QString>("words");

        QTest::newRow("setup accepted") << false << report(STAGE_DONE, 2) << "success";
        QTest::newRow("setup forbidden") << false << report(STAGE_REFUSED, 1) << "setup forbidden";
        QTest::newRow("setup failed") << false << report(STAGE_REFUSED, 3) << "setup failed";
        QTest::newRow("setup, no result")
            << false << report(STAGE_REFUSED, 0) << "an answer without a valid result (0)";
        QTest::newRow("setup, no socket") << false << report(STAGE_SOCKET, 0, EACCES)
                                          << "could not open a socket: Permission denied";
        QTest::newRow("image sent")
            << true << report(STAGE_DONE, 2, 0, 5000, 5000) << "image sent (5000 bytes)";
        QTest::newRow("install forbidden")
            << true << report(STAGE_REFUSED, 1) << "install forbidden";
        QTest::newRow("install socket failed")
            << true << report(STAGE_REFUSED, 3) << "the device could not open its install socket";
        QTest::newRow("install, silence")
            << true << report(STAGE_NO_REPLY, 0, EAGAIN) << "no reply within the time-out";
        QTest::newRow("connection refused")
            << true << report(STAGE_CONNECT, 2, ECONNREFUSED) << "connection refused";
        QTest::newRow("connection timed out") << true << report(STAGE_CONNECT, 2, ETIMEDOUT)
                                              << "could not connect: Connection timed out";
        QTest::newRow("image unreadable") << true << report(STAGE_IMAGE, 2, ENOENT)
                                          << "could not read the image: No such file or directory";
        QTest::newRow("upload cut") << true << report(STAGE_UPLOAD, 2, EPIPE, 2048, 10000)
                                    << "upload failed after 2048 of 10000 bytes: Broken pipe";
    }

    void describe()
    {
        QFETCH(bool, install);
        QFETCH(ExchangeReport, report);
        QFETCH(QString, words);
        QCOMPARE(install ? describe_install(report) : describe_setup(report), words);
    }
};

QTEST_GUILESS_MAIN(TestSetupRequest)
#include "tst_setuprequest.moc"
