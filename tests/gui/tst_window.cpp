// The host list and the setup dialog, offscreen and without devices.
#include "setuprequest.h"
#include "window_test.h"

#include <QClipboard>
#include <QContextMenuEvent>
#include <QFile>
#include <QFileDialog>
#include <QHeaderView>
#include <QMenu>
#include <QPushButton>
#include <QTemporaryDir>
#include <cerrno>

namespace
{

// A point inside the cell that stays in sight however wide the column is.
QPoint cellPoint(int row, int column)
{
    const QRect cell = view->visualRect(view->model()->index(row, column));
    return QPoint(cell.left() + 5, cell.center().y());
}

} // namespace

class TestWindow : public QObject
{
    Q_OBJECT

    QWidget box;
    QTemporaryDir dir;

    QString path(const char *name) const { return dir.filePath(name); }
    QByteArray browserCalls()
    {
        QFile log(path("kfmclient.log"));
        return log.open(QIODevice::ReadOnly) ? log.readAll() : QByteArray();
    }

  private slots:
    void initTestCase()
    {
        setup_main_window(box);
        box.show();
        QVERIFY(QTest::qWaitForWindowExposed(&box));
        // A stand-in browser launcher that records its arguments.
        QFile script(path("kfmclient"));
        QVERIFY(script.open(QIODevice::WriteOnly));
        script.write("#!/bin/sh\nprintf '%s\\n' \"$@\" >> \"$0.log\"\n");
        script.close();
        script.setPermissions(QFile::ReadOwner | QFile::ExeOwner);
        qputenv("PATH", dir.path().toLocal8Bit() + ":" + qgetenv("PATH"));
    }

    void init()
    {
        view->purge_items();
        QFile::remove(path("kfmclient.log"));
        setDialogFields(prompts);
    }

    void doubleClickInFileFieldOpensChooser()
    {
        auto *field = qobject_cast<QLineEdit *>(dialogWidget(4));
        dia->show();
        QTimer::singleShot(0, this, [this] {
            if (auto *files = qobject_cast<QFileDialog *>(QApplication::activeModalWidget())) {
                files->findChild<QLineEdit *>("fileNameEdit")->setText(path("kfmclient"));
                static_cast<QDialog *>(files)->accept();
            }
        });
        QTest::mouseDClick(field, Qt::LeftButton, {}, QPoint(5, field->height() / 2));
        QCOMPARE(field->text(), path("kfmclient"));
        QVERIFY(!field->hasSelectedText());
        dia->hide();
    }

    // What the dialog's fields ask of a device, and what is refused before
    // anything is sent, the field named.
    void request_data()
    {
        QTest::addColumn<QString>("mac");
        QTest::addColumn<QStringList>("fields"); // IP, netmask, file
        QTest::addColumn<bool>("dhcp");
        // What is sent: the setup as "IP NETMASK DHCP" or "-", then "+ image"
        // for an install; and what the problem line holds ("" for none).
        QTest::addColumn<QString>("sent");
        QTest::addColumn<QString>("problem");
        const QString mac = "0:a:95:1:2b:ff", ip = "198.18.0.5", image = path("kfmclient");
        QTest::newRow("prompts only") << mac << prompts << false << "-"
                                      << "";
        QTest::newRow("DHCP alone") << mac << prompts << true << "0.0.0.0 0.0.0.0 1"
                                    << "";
        QTest::newRow("DHCP with an address")
            << mac << QStringList{ip, "", ""} << true << "198.18.0.5 0.0.0.0 1"
            << "";
        QTest::newRow("setup and install") << mac << QStringList{ip, " 255.255.0.0 ", image}
                                           << false << "198.18.0.5 255.255.0.0 0 + image"
                                           << "";
        QTest::newRow("address without netmask") << mac << QStringList{ip, "", ""} << false << "-"
                                                 << "both";
        QTest::newRow("short address")
            << mac << QStringList{"198.18.0", "255.0.0.0", ""} << true << "-"
            << "IP field";
        QTest::newRow("netmask text") << mac << QStringList{ip, "mask", ""} << false << "-"
                                      << "netmask field";
        QTest::newRow("netmask with a gap")
            << mac << QStringList{ip, "255.0.255.0", ""} << false << "-"
            << "netmask field";
        QTest::newRow("subnet broadcast")
            << mac << QStringList{"198.18.0.255", "255.255.255.0", ""} << false << "-"
            << "IP field (\"198.18.0.255\"): the broadcast address of its subnet";
        QTest::newRow("missing image, setup still sent")
            << mac << QStringList{ip, "255.0.0.0", path("missing")} << false
            << "198.18.0.5 255.0.0.0 0"
            << "file field";
        QTest::newRow("group MAC")
            << "1:0:5e:0:0:1" << QStringList{ip, "255.0.0.0", image} << false << "-"
            << "the MAC";
    }

    void request()
    {
        QFETCH(QString, mac);
        QFETCH(QStringList, fields);
        QFETCH(bool, dhcp);
        QFETCH(QString, sent);
        QFETCH(QString, problem);
        setDialogFields(fields, dhcp);
        SetupRequest request;
        request.macText = mac;
        ether_aton_r(qPrintable(mac), &request.mac);
        const QString line = read_setup_fields(dia->fields(), &request);

        QString asked = "-";
        if (request.setup)
            asked = QString("%1 %2 %3")
                        .arg(inet_ntoa(request.ipaddr))
                        .arg(inet_ntoa(request.netmask))
                        .arg(request.dhcp);
        QCOMPARE(asked + (request.install ? " + image" : ""), sent);
        QVERIFY2(problem.isEmpty() ? line.isEmpty()
                                   : line.startsWith(mac + ": not sent: ") &&
                                         line.contains(problem) && !line.contains(';'),
                 qPrintable(line));
    }

    // Outcomes the exchanges against the simulated devices do not reach. An
    // upload's figures are acked of size; the whole image counts as sent, so
    // that words built from the sent count show.
    void describe_data()
    {
        QTest::addColumn<bool>("install");
        QTest::addColumn<ExchangeReport>("report");
        QTest::addColumn<QString>("words");
        const auto row = [](bool install, ExchangeStage stage, int result, int error,
                            const char *words, uint64_t acked = 0, uint64_t size = 0) {
            QTest::newRow(words) << install
                                 << ExchangeReport{stage, result, error, {}, size, size, acked}
                                 << words;
        };
        row(false, STAGE_REFUSED, 0, 0, "an answer without a valid result (0)");
        row(false, STAGE_SOCKET, 0, EACCES, "could not open a socket: Permission denied");
        row(false, STAGE_INPUT, 0, EINVAL, "nothing sent: the MAC names no single device");
        row(true, STAGE_REFUSED, 3, 0, "socket creation failed");
        row(true, STAGE_NO_REPLY, 0, EAGAIN, "no reply within the time-out");
        row(true, STAGE_CONNECT, 2, ECONNREFUSED, "connection refused");
        row(true, STAGE_IMAGE, 2, ENOENT, "could not read the image: No such file or directory");
        row(true, STAGE_INPUT, 0, EFBIG,
            "nothing sent: the image cannot be uploaded: File too large");
        row(true, STAGE_CANCELLED, 2, ECANCELED, "cancelled");
        // The device's counts, not what was handed to the connection.
        row(true, STAGE_CANCELLED, 2, ECANCELED, "cancelled after 100 of 900 bytes", 100, 900);
        row(true, STAGE_UPLOAD, 2, ETIMEDOUT, "device stopped reading after 100 of 900 bytes", 100,
            900);
        row(true, STAGE_UPLOAD, 2, ECONNRESET,
            "upload failed after 100 of 900 bytes: Connection reset by peer", 100, 900);
    }

    void describe()
    {
        QFETCH(bool, install);
        QFETCH(ExchangeReport, report);
        QFETCH(QString, words);
        QCOMPARE(install ? describe_install(report) : describe_setup(report), words);
    }

    // Texts as Latin-1, a firmware field without its terminator cut at the
    // field's end; the IP's tip names the interface and the other devices at
    // the address, which the next run forgets.
    void rows()
    {
        DiscoverInterface where{"veth-lab", {}};
        inet_pton(AF_INET, "192.0.2.254", &where.addr);
        DiscoverEntry entries[] = {
            device("192.0.2.10", "00:0A:95:01:2B:FF", "255.255.0.0", "dev-1", "fw 1.2"),
            device("192.0.2.10", "2:0:0:0:0:1", "255.255.255.0", "\x80\x9f\xa0\xff", "caf\xe9"),
            {}};
        std::memset(entries[2].firmware, 'x', sizeof(entries[2].firmware));
        const QString wide(sizeof(entries[2].firmware), 'x');
        view->add_item(&entries[0], &where);
        view->add_item(&entries[1], &where);
        view->add_item(&entries[2]);
        const QStringList rows[] = {
            {"192.0.2.10", "255.255.0.0", "0:a:95:1:2b:ff", "dev-1", "fw 1.2"},
            {"192.0.2.10", "255.255.255.0", "2:0:0:0:0:1", "\u0080\u009f\u00a0\u00ff", "caf\u00e9"},
            {"0.0.0.0", "0.0.0.0", "0:0:0:0:0:0", "", wide}};
        for (int c = 0; c < QHostView::ColumnCount; ++c)
            QCOMPARE(columnTexts(c), (QStringList{rows[0][c], rows[1][c], rows[2][c]}));
        QVERIFY(view->columnWidth(QHostView::Firmware) >
                view->fontMetrics().horizontalAdvance(wide));

        QCOMPARE(view->topLevelItem(0)->toolTip(QHostView::Ip),
                 "Found on veth-lab (192.0.2.254)\nAddress conflict: also answered by 2:0:0:0:0:1");
        QCOMPARE(view->topLevelItem(2)->toolTip(QHostView::Ip),
                 "Found through the default interface (any address)");
        QVERIFY(!view->topLevelItem(0)->icon(QHostView::Ip).isNull());
        view->purge_items();
        view->add_item(&entries[1], &where);
        QVERIFY(view->topLevelItem(0)->icon(QHostView::Ip).isNull());
    }

    // On the second of two rows: a click on the IP opens the device's page,
    // a double-click elsewhere opens the setup dialog for the row's MAC,
    // where Esc starts nothing and keeps what was typed; the row's menu
    // copies its IP, its MAC or all of it. Without a row, nothing opens, and
    // only a dotted address reaches the browser.
    void mouse_data()
    {
        QTest::addColumn<int>("column");
        for (int c = 0; c < QHostView::ColumnCount; ++c)
            QTest::addRow("column %d", c) << c;
    }

    void mouse()
    {
        QFETCH(int, column);
        listDevice("192.0.2.1", "2:0:0:0:0:1");
        const DiscoverEntry entry =
            device("192.0.2.10", "0:a:95:1:2b:ff", "255.255.255.0", "dev", "fw 1");
        view->add_item(&entry);
        view->clickedItem(nullptr, QPoint(), column);
        view->doubleClickedItem(nullptr, QPoint(), column);
        QVERIFY(!view->openurl("1.2.3.4\"; touch x; \""));

        const QPoint at = cellPoint(1, column);
        QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, at);
        // The view acts on a double-click only where the same button was
        // pressed, as it just was.
        QString shownMac;
        onDialog(this, [&] {
            shownMac = dialogWidget(0)->property("text").toString();
            setDialogFields({"192.0.2.50", prompts[1], prompts[2]});
            QTest::keyClick(dia, Qt::Key_Escape);
        });
        QTest::mouseDClick(view->viewport(), Qt::LeftButton, {}, at);
        QCoreApplication::processEvents();
        const bool ip = column == QHostView::Ip;
        QCOMPARE(shownMac, ip ? QString() : "0:a:95:1:2b:ff");
        QCOMPARE(dia->fields().ip, ip ? QString() : "192.0.2.50");
        QVERIFY(discoverButton->isEnabled());
        // The launcher runs detached: its log may come a moment later.
        QTRY_COMPARE(browserCalls(), ip ? QByteArray("exec\nhttp://192.0.2.10/\n") : "");

        QTimer::singleShot(0, this, [column] {
            if (auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget())) {
                menu->actions().at(column % 3)->trigger();
                menu->close();
            }
        });
        QContextMenuEvent event(QContextMenuEvent::Mouse, at, view->viewport()->mapToGlobal(at));
        QApplication::sendEvent(view->viewport(), &event);
        const QString copies[] = {"192.0.2.10", "0:a:95:1:2b:ff",
                                  "192.0.2.10\t255.255.255.0\t0:a:95:1:2b:ff\tdev\tfw 1"};
        QCOMPARE(QGuiApplication::clipboard()->text(), copies[column % 3]);
    }

    void headerSortsAddressesAsNumbers()
    {
        listDevice("192.0.2.10", "2:0:0:0:0:1", "255.255.255.0");
        listDevice("192.0.2.9", "2:0:0:0:0:2", "255.0.0.0");
        listDevice("192.0.2.100", "2:0:0:0:0:3", "255.255.0.0");
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
};

QTEST_MAIN(TestWindow)
#include "tst_window.moc"
