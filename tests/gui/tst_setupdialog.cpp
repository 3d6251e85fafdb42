#include "setuprequest.h"
#include "window_test.h"

#include <QCheckBox>
#include <QFileDialog>
#include <QVBoxLayout>
#include <arpa/inet.h>
#include <cerrno>

namespace
{

QString dotted(in_addr address)
{
    char text[INET_ADDRSTRLEN];
    return QString::fromLatin1(inet_ntop(AF_INET, &address, text, sizeof(text)));
}

ExchangeReport report(int stage, int result, int error = 0)
{
    ExchangeReport r{};
    r.stage = stage;
    r.result = result;
    r.error = error;
    return r;
}

} // namespace

class TestSetupDialog : public QObject
{
    Q_OBJECT

    InstallDialog dialog{"Mac"};
    QTemporaryFile image;

    QCheckBox *dhcpBox() { return qobject_cast<QCheckBox *>(dialogWidget(3)); }

  private slots:
    void initTestCase()
    {
        dia = &dialog;
        QVERIFY(image.open());
    }

    void layout()
    {
        QCOMPARE(dialog.windowTitle(), QString("Setup Device"));
        QCOMPARE(dialog.size(), QSize(300, 120));
        QVERIFY(!dialog.isModal());
        auto *box = qobject_cast<QVBoxLayout *>(dialog.layout());
        QVERIFY(box != nullptr);
        QCOMPARE(box->contentsMargins(), QMargins(10, 10, 10, 10));
        QStringList widgets;
        for (int i = 0; i < box->count(); ++i)
            widgets << QString("%1 %2 %3")
                           .arg(dialogWidget(i)->metaObject()->className(),
                                dialogWidget(i)->property("text").toString())
                           .arg(box->stretch(i));
        QCOMPARE(widgets, (QStringList{"QLabel Mac 0", "QLineEdit Enter new IP 1",
                                       "QLineEdit Enter new netmask 2", "QCheckBox DHCP 3",
                                       "dClickLineEdit Enter file to be uploaded 4",
                                       "QPushButton Setup 5"}));
        QVERIFY(!dhcpBox()->isChecked());
    }

    void doubleClickInField_data()
    {
        QTest::addColumn<int>("position");
        QTest::newRow("file field") << 4;
        QTest::newRow("IP field") << 1;
    }

    void doubleClickInField()
    {
        QFETCH(int, position);
        const bool chooser = position == 4;
        auto *field = qobject_cast<QLineEdit *>(dialogWidget(position));
        field->setText("before");
        dialog.show();
        // Checked once the chooser is closed: a failed check inside would
        // leave it open.
        QString directory;
        QStringList filters;
        QTimer::singleShot(0, this, [&] {
            auto *files = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
            if (files == nullptr)
                return;
            directory = files->directory().path();
            filters = files->nameFilters();
            files->findChild<QLineEdit *>("fileNameEdit")->setText(image.fileName());
            static_cast<QDialog *>(files)->accept();
        });
        OutputCapture out(STDOUT_FILENO);
        QTest::mouseDClick(field, Qt::LeftButton, {}, QPoint(5, field->height() / 2));
        QCoreApplication::processEvents();
        QCOMPARE(directory, chooser ? QString("/") : QString());
        QCOMPARE(filters, chooser ? QStringList("*") : QStringList());
        QCOMPARE(out.text().count("File edit doubleClicked\n"), chooser ? 1 : 0);
        QCOMPARE(field->text(), chooser ? image.fileName() : QString("before"));
        QVERIFY(!chooser || !field->hasSelectedText());
        dialog.hide();
        setDialogFields(prompts);
    }

    // What the dialog's fields ask the device for.
    void request_data()
    {
        QTest::addColumn<QStringList>("fields"); // IP, netmask, file
        QTest::addColumn<bool>("dhcp");
        // The setup sent as "IP NETMASK DHCP" or "-", whether the image is
        // installed, and a word the problem line must hold ("" for none).
        QTest::addColumn<QString>("setup");
        QTest::addColumn<bool>("install");
        QTest::addColumn<QString>("problem");

        const QString file = image.fileName();
        const QString address = "192.0.2.5";
        QTest::newRow("prompts untouched") << prompts << false << "-" << false << "";
        QTest::newRow("address and netmask") << QStringList{address, " 255.255.255.0 ", prompts[2]}
                                             << false << "192.0.2.5 255.255.255.0 0" << false << "";
        QTest::newRow("DHCP alone") << prompts << true << "0.0.0.0 0.0.0.0 1" << false << "";
        QTest::newRow("DHCP with an address")
            << QStringList{address, "", ""} << true << "192.0.2.5 0.0.0.0 1" << false << "";
        QTest::newRow("address without netmask")
            << QStringList{address, "", ""} << false << "-" << false << "both";
        QTest::newRow("short address")
            << QStringList{"192.0.2", "255.0.0.0", ""} << true << "-" << false << "IP field";
        QTest::newRow("netmask text")
            << QStringList{address, "mask", ""} << false << "-" << false << "netmask field";
        QTest::newRow("image") << QStringList{"", "", file} << false << "-" << true << "";
        QTest::newRow("missing image, setup still sent")
            << QStringList{address, "255.0.0.0", "/nonexistent"} << false << "192.0.2.5 255.0.0.0 0"
            << false << "file field";
        QTest::newRow("directory as image")
            << QStringList{"", "", "/"} << false << "-" << false << "file field";
    }

    void request()
    {
        QFETCH(QStringList, fields);
        QFETCH(bool, dhcp);
        QFETCH(QString, setup);
        QFETCH(bool, install);
        QFETCH(QString, problem);
        setDialogFields(fields);
        dhcpBox()->setChecked(dhcp);
        SetupRequest request;
        request.macText = "0:a:95:1:2b:ff";
        const QString line = read_setup_fields(dialog.fields(), &request);

        QCOMPARE(request.setup ? QString("%1 %2 %3")
                                     .arg(dotted(request.ipaddr), dotted(request.netmask))
                                     .arg(request.dhcp)
                               : QString("-"),
                 setup);
        QCOMPARE(request.install, install);
        QCOMPARE(QString::fromLocal8Bit(request.image), install ? image.fileName() : QString());
        QVERIFY2(problem.isEmpty()
                     ? line.isEmpty()
                     : line.startsWith("0:a:95:1:2b:ff: not sent: ") && line.contains(problem),
                 qPrintable(line));
    }

    // Outcomes the exchanges against the simulated devices do not reach.
    void describe_data()
    {
        QTest::addColumn<bool>("install");
        QTest::addColumn<ExchangeReport>("report");
        QTest::addColumn<QString>("words");
        QTest::newRow("setup, no result")
            << false << report(STAGE_REFUSED, 0) << "an answer without a valid result (0)";
        QTest::newRow("setup, no socket") << false << report(STAGE_SOCKET, 0, EACCES)
                                          << "could not open a socket: Permission denied";
        QTest::newRow("install socket failed")
            << true << report(STAGE_REFUSED, 3) << "the device could not open its install socket";
        QTest::newRow("install, silence")
            << true << report(STAGE_NO_REPLY, 0, EAGAIN) << "no reply within the time-out";
        QTest::newRow("connection refused")
            << true << report(STAGE_CONNECT, 2, ECONNREFUSED) << "connection refused";
        QTest::newRow("image unreadable") << true << report(STAGE_IMAGE, 2, ENOENT)
                                          << "could not read the image: No such file or directory";
    }

    void describe()
    {
        QFETCH(bool, install);
        QFETCH(ExchangeReport, report);
        QFETCH(QString, words);
        QCOMPARE(install ? describe_install(report) : describe_setup(report), words);
    }
};

QTEST_MAIN(TestSetupDialog)
#include "tst_setupdialog.moc"
