// The host list and the setup dialog, offscreen and without devices.
#include "mainwindow.h"
#include "qhostview.h"
#include "setuprequest.h"
#include "window_test.h"

#include <QCheckBox>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QFile>
#include <QFileDialog>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>

namespace
{

QString dotted(in_addr address)
{
    char text[INET_ADDRSTRLEN];
    return QString::fromLatin1(inet_ntop(AF_INET, &address, text, sizeof(text)));
}

// An upload's figures are acked of size; the whole image counts as sent, so
// that words built from the sent count show.
ExchangeReport report(int stage, int result, int error = 0, uint64_t acked = 0, uint64_t size = 0)
{
    ExchangeReport r{};
    r.stage = static_cast<ExchangeStage>(stage);
    r.result = result;
    r.error = error;
    r.image_size = size;
    r.sent = size;
    r.acked = acked;
    return r;
}

DiscoverEntry device(const char *ip, const char *mac, const char *host = "",
                     const char *firmware = "", const char *netmask = "255.255.255.0")
{
    DiscoverEntry entry{};
    inet_pton(AF_INET, ip, &entry.ipaddr);
    inet_pton(AF_INET, netmask, &entry.netmask);
    ether_aton_r(mac, &entry.mac);
    std::strncpy(entry.hostname, host, sizeof(entry.hostname) - 1);
    std::strncpy(entry.firmware, firmware, sizeof(entry.firmware) - 1);
    return entry;
}

QStringList columnTexts(int column)
{
    QStringList texts;
    for (int row = 0; row < view->topLevelItemCount(); ++row)
        texts << view->topLevelItem(row)->text(column);
    return texts;
}

// A point inside the cell that stays in sight however wide the column is.
QPoint cellPoint(int row, int column)
{
    view->scrollTo(view->model()->index(row, column));
    const QRect cell = view->visualRect(view->model()->index(row, column));
    return QPoint(cell.left() + 5, cell.center().y());
}

} // namespace

class TestWindow : public QObject
{
    Q_OBJECT

    QWidget box;
    QTemporaryDir bin;

    QCheckBox *dhcpBox() { return qobject_cast<QCheckBox *>(dialogWidget(3)); }
    QByteArray browserCalls()
    {
        QFile log(bin.filePath("kfmclient.log"));
        return log.open(QIODevice::ReadOnly) ? log.readAll() : QByteArray();
    }

  private slots:
    void initTestCase()
    {
        setup_main_window(box);
        box.show();
        QVERIFY(QTest::qWaitForWindowExposed(&box));

        // A stand-in browser launcher that records its arguments.
        QFile script(bin.filePath("kfmclient"));
        QVERIFY(script.open(QIODevice::WriteOnly));
        script.write("#!/bin/sh\nprintf '%s\\n' \"$@\" >> \"$0.log\"\n");
        script.close();
        script.setPermissions(QFile::ReadOwner | QFile::ExeOwner);
        qputenv("PATH", bin.path().toLocal8Bit() + ":" + qgetenv("PATH"));
    }

    void init()
    {
        view->purge_items();
        QFile::remove(bin.filePath("kfmclient.log"));
    }

    void doubleClickInFileFieldOpensChooser()
    {
        auto *field = qobject_cast<QLineEdit *>(dialogWidget(4));
        dia->show();
        const QString chosen = bin.filePath("kfmclient");
        QTimer::singleShot(0, this, [&] {
            auto *files = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
            if (files == nullptr)
                return;
            files->findChild<QLineEdit *>("fileNameEdit")->setText(chosen);
            static_cast<QDialog *>(files)->accept();
        });
        QTest::mouseDClick(field, Qt::LeftButton, {}, QPoint(5, field->height() / 2));
        QCoreApplication::processEvents();
        QCOMPARE(field->text(), chosen);
        QVERIFY(!field->hasSelectedText());
        dia->hide();
    }

    // What the dialog's fields ask for where the simulated devices do not
    // look: the image itself is sent to them.
    void request_data()
    {
        QTest::addColumn<QStringList>("fields"); // IP, netmask, file
        QTest::addColumn<bool>("dhcp");
        // The setup sent as "IP NETMASK DHCP" or "-", and a word the problem
        // line must hold ("" for none).
        QTest::addColumn<QString>("setup");
        QTest::addColumn<QString>("problem");

        const QString address = "192.0.2.5";
        QTest::newRow("DHCP alone") << prompts << true << "0.0.0.0 0.0.0.0 1"
                                    << "";
        QTest::newRow("DHCP with an address")
            << QStringList{address, "", ""} << true << "192.0.2.5 0.0.0.0 1" << QString();
        QTest::newRow("address without netmask")
            << QStringList{address, "", ""} << false << "-" << QString("both");
        QTest::newRow("short address")
            << QStringList{"192.0.2", "255.0.0.0", ""} << true << "-" << QString("IP field");
        QTest::newRow("netmask text")
            << QStringList{address, "mask", ""} << false << "-" << QString("netmask field");
        QTest::newRow("missing image, setup still sent")
            << QStringList{address, "255.0.0.0", "/nonexistent"} << false << "192.0.2.5 255.0.0.0 0"
            << QString("file field");
        QTest::newRow("address refused, netmask fine")
            << QStringList{"192.0.2.255", "255.255.255.0", ""} << false << "-"
            << QString("IP field (\"192.0.2.255\"): the broadcast address of its subnet");
    }

    void request()
    {
        QFETCH(QStringList, fields);
        QFETCH(bool, dhcp);
        QFETCH(QString, setup);
        QFETCH(QString, problem);
        setDialogFields(fields);
        dhcpBox()->setChecked(dhcp);
        SetupRequest request;
        request.macText = "0:a:95:1:2b:ff";
        ether_aton_r("0:a:95:1:2b:ff", &request.mac);
        const QString line = read_setup_fields(dia->fields(), &request);

        QCOMPARE(request.setup ? QString("%1 %2 %3")
                                     .arg(dotted(request.ipaddr), dotted(request.netmask))
                                     .arg(request.dhcp)
                               : QString("-"),
                 setup);
        QVERIFY(!request.install && request.image.isEmpty());
        QVERIFY2(problem.isEmpty() ? line.isEmpty()
                                   : line.startsWith("0:a:95:1:2b:ff: not sent: ") &&
                                         line.contains(problem) && !line.contains(';'),
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
            << true << report(STAGE_REFUSED, 3) << "socket creation failed";
        QTest::newRow("install, silence")
            << true << report(STAGE_NO_REPLY, 0, EAGAIN) << "no reply within the time-out";
        QTest::newRow("connection refused")
            << true << report(STAGE_CONNECT, 2, ECONNREFUSED) << "connection refused";
        QTest::newRow("image unreadable") << true << report(STAGE_IMAGE, 2, ENOENT)
                                          << "could not read the image: No such file or directory";
        QTest::newRow("setup, MAC refused") << false << report(STAGE_INPUT, 0, EINVAL)
                                            << "nothing sent: the MAC names no single device";
        QTest::newRow("image grew too large") << true << report(STAGE_INPUT, 0, EFBIG)
                                              << "nothing sent: the image cannot be uploaded: File "
                                                 "too large";
        QTest::newRow("install cancelled before the upload")
            << true << report(STAGE_CANCELLED, 2, ECANCELED) << "cancelled";
        // The device's counts, not what was handed to the connection.
        QTest::newRow("upload cancelled") << true << report(STAGE_CANCELLED, 2, ECANCELED, 100, 900)
                                          << "cancelled after 100 of 900 bytes";
        QTest::newRow("stalled upload") << true << report(STAGE_UPLOAD, 2, ETIMEDOUT, 100, 900)
                                        << "device stopped reading after 100 of 900 bytes";
        QTest::newRow("upload cut")
            << true << report(STAGE_UPLOAD, 2, ECONNRESET, 100, 900)
            << "upload failed after 100 of 900 bytes: Connection reset by peer";
    }

    void describe()
    {
        QFETCH(bool, install);
        QFETCH(ExchangeReport, report);
        QFETCH(QString, words);
        QCOMPARE(install ? describe_install(report) : describe_setup(report), words);
    }

    void columnsAndRows()
    {
        DiscoverEntry unterminated{};
        std::memset(unterminated.firmware, 'x', sizeof(unterminated.firmware));
        const QString wide(sizeof(unterminated.firmware), 'x');
        const DiscoverEntry entries[] = {
            device("192.0.2.10", "00:0A:95:01:2B:FF", "dev-1", "fw 1.2", "255.255.0.0"),
            device("10.0.0.1", "02:00:00:00:00:01", "\x80\x9f\xa0\xff", "caf\xe9"), unterminated};
        const QStringList rows[] = {
            {"192.0.2.10", "255.255.0.0", "0:a:95:1:2b:ff", "dev-1", "fw 1.2"},
            {"10.0.0.1", "255.255.255.0", "2:0:0:0:0:1", "\u0080\u009f\u00a0\u00ff", "caf\u00e9"},
            {"0.0.0.0", "0.0.0.0", "0:0:0:0:0:0", "", wide}};
        for (const DiscoverEntry &entry : entries)
            view->add_item(&entry);
        for (int c = 0; c < rows[0].size(); ++c)
            QCOMPARE(columnTexts(c), (QStringList{rows[0][c], rows[1][c], rows[2][c]}));

        // The firmware column widens to its widest entry, and never narrows.
        const int widened = view->columnWidth(QHostView::Firmware);
        QVERIFY2(widened > view->fontMetrics().horizontalAdvance(wide),
                 qPrintable(QString::number(widened)));
        view->add_item(&entries[0]);
        QCOMPARE(view->columnWidth(QHostView::Firmware), widened);
    }

    // Neither slot acts without a row, and only an address reaches the browser.
    void nothingOpensWithoutRowOrAddress()
    {
        bool dialogShown = false;
        onDialog(this, [&] {
            dialogShown = true;
            dia->reject();
        });
        view->clickedItem(nullptr, QPoint(), QHostView::Ip);
        view->doubleClickedItem(nullptr, QPoint(), QHostView::Mac);
        QCoreApplication::processEvents();
        QVERIFY(!dialogShown);
        QVERIFY(!view->openurl("1.2.3.4\"; touch x; \""));
        QVERIFY(browserCalls().isEmpty());
    }

    // A click on the IP opens the device's page; a double-click elsewhere
    // opens the setup dialog for the row's MAC.
    void clicks_data()
    {
        QTest::addColumn<int>("column");
        for (int c = 0; c < QHostView::ColumnCount; ++c)
            QTest::addRow("column %d", c) << c;
    }

    void clicks()
    {
        QFETCH(int, column);
        const DiscoverEntry entries[] = {device("192.0.2.1", "2:0:0:0:0:1"),
                                         device("192.0.2.10", "0:a:95:1:2b:ff")};
        for (const DiscoverEntry &entry : entries)
            view->add_item(&entry);
        const QPoint at = cellPoint(1, column);
        QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, at);
        // The view acts on a double-click only where the same button was
        // pressed, as it just was.
        QString shownMac;
        onDialog(this, [&] {
            shownMac = dialogWidget(0)->property("text").toString();
            dia->reject();
        });
        QTest::mouseDClick(view->viewport(), Qt::LeftButton, {}, at);
        QCoreApplication::processEvents();
        QCOMPARE(shownMac, column == QHostView::Ip ? QString() : QString("0:a:95:1:2b:ff"));
        // The launcher runs detached: its log may come a moment later.
        QTRY_COMPARE(browserCalls(),
                     column == QHostView::Ip ? QByteArray("exec\nhttp://192.0.2.10/\n") : "");
    }

    void rejectKeepsFieldsAndStartsNothing()
    {
        const DiscoverEntry entries[] = {device("192.0.2.1", "2:0:0:0:0:1"),
                                         device("192.0.2.2", "2:0:0:0:0:2")};
        for (const DiscoverEntry &entry : entries)
            view->add_item(&entry);
        onDialog(this, [] {
            setDialogFields({"192.0.2.50", prompts[1], prompts[2]});
            QTest::keyClick(dia, Qt::Key_Escape);
        });
        view->doubleClickedItem(view->topLevelItem(0), QPoint(), QHostView::Mac);
        QVERIFY(discoverButton->isEnabled());
        QCOMPARE(view->topLevelItemCount(), 2);

        QStringList shown;
        onDialog(this, [&] {
            for (int i : {0, 1, 2, 4})
                shown << dialogWidget(i)->property("text").toString();
            dia->reject();
        });
        view->doubleClickedItem(view->topLevelItem(1), QPoint(), QHostView::Hostname);
        QCOMPARE(shown, (QStringList{"2:0:0:0:0:2", "192.0.2.50", prompts[1], prompts[2]}));
        setDialogFields(prompts);
    }

    // The conflict marks are checked end to end; here the tips' texts and
    // what the row's interface adds.
    void toolTips()
    {
        DiscoverInterface where{};
        std::strcpy(where.name, "veth-lab");
        inet_pton(AF_INET, "192.0.2.254", &where.addr);
        const DiscoverEntry replies[] = {device("192.0.2.1", "2:0:0:0:0:1"),
                                         device("192.0.2.1", "2:0:0:0:0:2"),
                                         device("192.0.2.1", "2:0:0:0:0:3")};
        for (const DiscoverEntry &reply : replies)
            view->add_item(&reply, &where);
        QTreeWidgetItem *row = view->topLevelItem(0);
        QCOMPARE(row->toolTip(QHostView::Ip),
                 QString("Found on veth-lab (192.0.2.254)\nAddress conflict: also answered by "
                         "2:0:0:0:0:2, 2:0:0:0:0:3"));
        QVERIFY(!row->icon(QHostView::Ip).isNull());

        // The next run forgets the rows.
        view->purge_items();
        view->add_item(&replies[1]);
        row = view->topLevelItem(0);
        QVERIFY(row->icon(QHostView::Ip).isNull());
        QCOMPARE(row->toolTip(QHostView::Ip),
                 QString("Found through the default interface (any address)"));
    }

    void headerSortsAddressesAsNumbers()
    {
        const DiscoverEntry entries[] = {
            device("192.0.2.10", "2:0:0:0:0:1", "", "", "255.255.255.0"),
            device("192.0.2.9", "2:0:0:0:0:2", "", "", "255.0.0.0"),
            device("192.0.2.100", "2:0:0:0:0:3", "", "", "255.255.0.0")};
        for (const DiscoverEntry &entry : entries)
            view->add_item(&entry);
        QCOMPARE(columnTexts(QHostView::Ip),
                 (QStringList{"192.0.2.10", "192.0.2.9", "192.0.2.100"}));

        QHeaderView *header = view->header();
        for (int column : {QHostView::Ip, QHostView::Netmask}) {
            const QPoint at(header->sectionViewportPosition(column) + 5, header->height() / 2);
            QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, at);
            QStringList ascending = {"192.0.2.9", "192.0.2.10", "192.0.2.100"};
            if (column == QHostView::Netmask)
                ascending.swapItemsAt(1, 2);
            if (header->sortIndicatorOrder() == Qt::DescendingOrder)
                std::reverse(ascending.begin(), ascending.end());
            QCOMPARE(header->sortIndicatorSection(), column);
            QCOMPARE(columnTexts(QHostView::Ip), ascending);
        }
        view->setSortingEnabled(false);
    }

    void rowMenuCopies()
    {
        const DiscoverEntry entry = device("192.0.2.10", "0:a:95:1:2b:ff", "dev", "fw 1");
        view->add_item(&entry);
        const QPoint at = cellPoint(0, QHostView::Hostname);
        QStringList copied;
        for (int i = 0; i < 3; ++i) {
            QTimer::singleShot(0, this, [&] {
                auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget());
                if (menu == nullptr)
                    return;
                menu->actions().at(i)->trigger();
                menu->close();
            });
            QContextMenuEvent event(QContextMenuEvent::Mouse, at,
                                    view->viewport()->mapToGlobal(at));
            QApplication::sendEvent(view->viewport(), &event);
            copied << QGuiApplication::clipboard()->text();
        }
        QCOMPARE(copied.mid(0, 2), (QStringList{"192.0.2.10", "0:a:95:1:2b:ff"}));
        QVERIFY(copied[2].startsWith("192.0.2.10\t255.255.255.0\t0:a:95:1:2b:ff\tdev\tfw 1\t"));
    }

    // Only loopback here, so every run asks through the wildcard address and
    // says so; Esc cancels a run, and the next one is not cancelled with it.
    void escCancelsRun()
    {
        auto *cancel = box.findChild<QPushButton *>("cancelButton");
        auto *status = box.findChild<QLabel *>("statusLine");
        QVERIFY(!cancel->isEnabled());
        box.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&box));
        QSignalSpy done(view, &QHostView::refresh_done);
        for (bool cancelled : {true, false}) {
            view->refresh();
            QVERIFY(cancel->isEnabled() && !discoverButton->isEnabled());
            QCOMPARE(status->text(),
                     "No network interface can broadcast: asked through the default route only");
            if (cancelled)
                QTest::keyClick(&box, Qt::Key_Escape);
            QVERIFY(done.wait(10000));
            QVERIFY(!cancel->isEnabled() && discoverButton->isEnabled());
            QCOMPARE(status->text() == "Discovery cancelled", cancelled);
        }
    }
};

QTEST_MAIN(TestWindow)
#include "tst_window.moc"
