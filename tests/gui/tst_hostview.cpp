#include "dialog_driver.h"
#include "installdialog.h"
#include "mainwindow.h"
#include "output_capture.h"
#include "qhostview.h"

#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QFile>
#include <QHeaderView>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <arpa/inet.h>
#include <cstring>
#include <memory>

namespace
{

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

QStringList rowTexts(int row)
{
    QStringList texts;
    for (int c = 0; c < QHostView::ColumnCount; ++c)
        texts << view->topLevelItem(row)->text(c);
    return texts;
}

QString toolTip(int row)
{
    return view->topLevelItem(row)->data(QHostView::Ip, Qt::ToolTipRole).toString();
}

QStringList addressesInViewOrder()
{
    QStringList addresses;
    for (int row = 0; row < view->topLevelItemCount(); ++row)
        addresses << view->topLevelItem(row)->text(QHostView::Ip);
    return addresses;
}

// A point inside the cell that stays in sight however wide the column is.
QPoint cellPoint(int row, int column)
{
    const QRect cell = view->visualRect(view->model()->index(row, column));
    return QPoint(cell.left() + 5, cell.center().y());
}

// The view acts on a double-click only where the same button was pressed.
void doubleClickCell(int row, int column)
{
    const QPoint at = cellPoint(row, column);
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, at);
    QTest::mouseDClick(view->viewport(), Qt::LeftButton, {}, at);
}

} // namespace

class TestHostView : public QObject
{
    Q_OBJECT

  private:
    std::unique_ptr<QWidget> box = std::make_unique<QWidget>();
    QTemporaryDir bin;
    QString browserLog;

    QByteArray browserCalls()
    {
        QFile log(browserLog);
        return log.open(QIODevice::ReadOnly) ? log.readAll() : QByteArray();
    }

  private slots:
    void initTestCase()
    {
        OutputCapture out(STDOUT_FILENO);
        setup_main_window(*box);
        QCOMPARE(out.text(), QByteArray("QHostView::QHostView\n"));
        box->show();
        QVERIFY(QTest::qWaitForWindowExposed(box.get()));

        // A stand-in browser launcher that records its arguments and fails
        // for one address.
        browserLog = bin.filePath("kfmclient.log");
        QFile script(bin.filePath("kfmclient"));
        QVERIFY(script.open(QIODevice::WriteOnly));
        script.write("#!/bin/sh\nprintf '%s\\n' \"$@\" >> '" + browserLog.toLocal8Bit() +
                     "'\n[ \"$2\" != http://192.0.2.99/ ]\n");
        script.close();
        script.setPermissions(QFile::ReadOwner | QFile::ExeOwner);
        qputenv("PATH", bin.path().toLocal8Bit() + ":" + qgetenv("PATH"));
    }

    void init()
    {
        view->purge_items();
        QFile::remove(browserLog);
    }

    void columns()
    {
        const QStringList titles = {"IP", "Netmask", "MAC", "Hostname", "Firmware"};
        QCOMPARE(view->columnCount(), titles.size());
        for (int c = 0; c < titles.size(); ++c)
            QCOMPARE(view->headerItem()->text(c), titles[c]);
        for (int c = QHostView::Ip; c < QHostView::Firmware; ++c)
            QCOMPARE(view->columnWidth(c), 100);
        QVERIFY(!view->rootIsDecorated());
    }

    void rowTexts_data()
    {
        QTest::addColumn<DiscoverEntry>("entry");
        QTest::addColumn<QStringList>("texts");

        QTest::newRow("addresses, MAC without leading zeros")
            << device("192.0.2.10", "00:0A:95:01:2B:FF", "dev-1", "fw 1.2", "255.255.0.0")
            << QStringList{"192.0.2.10", "255.255.0.0", "0:a:95:1:2b:ff", "dev-1", "fw 1.2"};
        QTest::newRow("no attributes")
            << DiscoverEntry{} << QStringList{"0.0.0.0", "0.0.0.0", "0:0:0:0:0:0", "", ""};

        DiscoverEntry high = device("10.0.0.1", "02:00:00:00:00:01");
        QString highText;
        for (int byte = 0x80; byte <= 0xff; ++byte) {
            high.hostname[byte - 0x80] = static_cast<char>(byte);
            highText += QChar(byte);
        }
        std::strcpy(high.firmware, "caf\xe9");
        QTest::newRow("bytes 0x80-0xFF as Latin-1")
            << high
            << QStringList{"10.0.0.1", "255.255.255.0", "2:0:0:0:0:1", highText, "caf\u00e9"};

        DiscoverEntry unterminated{};
        std::memset(unterminated.firmware, 'x', sizeof(unterminated.firmware));
        QTest::newRow("text field without terminator")
            << unterminated
            << QStringList{"0.0.0.0", "0.0.0.0", "0:0:0:0:0:0", "",
                           QString(sizeof(unterminated.firmware), 'x')};
    }

    void rowTexts()
    {
        QFETCH(DiscoverEntry, entry);
        QFETCH(QStringList, texts);
        view->add_item(&entry);
        QCOMPARE(view->topLevelItemCount(), 1);
        QCOMPARE(::rowTexts(0), texts);
    }

    void firmwareColumnFitsWidestEntry()
    {
        const QString wide(120, 'W');
        DiscoverEntry entries[] = {device("192.0.2.1", "2:0:0:0:0:1", "a", "short"),
                                   device("192.0.2.2", "2:0:0:0:0:2", "b", qPrintable(wide)),
                                   device("192.0.2.3", "2:0:0:0:0:3", "c", "short again")};
        view->add_item(&entries[0]);
        view->add_item(&entries[1]);
        const int widened = view->columnWidth(QHostView::Firmware);
        QVERIFY2(widened > view->fontMetrics().horizontalAdvance(wide),
                 qPrintable(QString::number(widened)));
        view->add_item(&entries[2]);
        QCOMPARE(view->columnWidth(QHostView::Firmware), widened);
    }

    void slotsWithoutRow()
    {
        bool dialogShown = false;
        onDialog(this, [&] {
            dialogShown = true;
            dia->reject();
        });
        OutputCapture out(STDOUT_FILENO);
        view->clickedItem(nullptr, QPoint(), 0);
        view->doubleClickedItem(nullptr, QPoint(), 1);
        QCoreApplication::processEvents();
        QCOMPARE(out.text(),
                 QByteArray("clickedItem( (nil), 0 )\ndoubleClickedItem( (nil), 1 )\n"));
        QVERIFY(!dialogShown);
        QVERIFY(browserCalls().isEmpty());
    }

    void clickOpensPageOnlyOnIp_data()
    {
        QTest::addColumn<int>("column");
        for (int c = 0; c < QHostView::ColumnCount; ++c)
            QTest::addRow("column %d", c) << c;
    }

    void clickOpensPageOnlyOnIp()
    {
        QFETCH(int, column);
        DiscoverEntry entry = device("192.0.2.10", "0:a:95:1:2b:ff", "dev");
        view->add_item(&entry);
        OutputCapture out(STDOUT_FILENO);
        QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, cellPoint(0, column));
        const QByteArray traced =
            QString::asprintf("clickedItem( %p, %d )\n", view->topLevelItem(0), column).toLatin1();
        QVERIFY2(out.text().startsWith(traced), out.text().constData());
        QCOMPARE(browserCalls(), column == 0 ? QByteArray("exec\nhttp://192.0.2.10/\n") : "");
    }

    void openurlHandsOnlyAddressesToTheShell_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("result");
        QTest::addColumn<QByteArray>("calls");
        QTest::newRow("address") << "192.0.2.7" << true << QByteArray("exec\nhttp://192.0.2.7/\n");
        QTest::newRow("launcher fails")
            << "192.0.2.99" << false << QByteArray("exec\nhttp://192.0.2.99/\n");
        QTest::newRow("shell text") << "1.2.3.4\"; touch x; \"" << false << QByteArray();
        QTest::newRow("short form") << "10.1" << false << QByteArray();
    }

    void openurlHandsOnlyAddressesToTheShell()
    {
        QFETCH(QString, text);
        QFETCH(bool, result);
        QFETCH(QByteArray, calls);
        QCOMPARE(view->openurl(text), result);
        QCOMPARE(browserCalls(), calls);
    }

    void doubleClickOpensDialogWithRowMac_data()
    {
        QTest::addColumn<int>("column");
        for (int c = 0; c < QHostView::ColumnCount; ++c)
            QTest::addRow("column %d", c) << c;
    }

    void doubleClickOpensDialogWithRowMac()
    {
        QFETCH(int, column);
        DiscoverEntry entries[] = {device("192.0.2.1", "2:0:0:0:0:1", "first"),
                                   device("192.0.2.2", "0:a:95:1:2b:ff", "second")};
        for (const DiscoverEntry &entry : entries)
            view->add_item(&entry);
        dia->setMac("Mac");

        QString shownMac;
        onDialog(this, [&] {
            shownMac = qobject_cast<QLabel *>(dialogWidget(0))->text();
            dia->reject();
        });
        doubleClickCell(1, column);
        QCoreApplication::processEvents();
        QCOMPARE(shownMac, column == 0 ? QString() : QString("0:a:95:1:2b:ff"));
    }

    void dialogKeepsFieldsAndRejectChangesNothing()
    {
        DiscoverEntry entries[] = {device("192.0.2.1", "2:0:0:0:0:1"),
                                   device("192.0.2.2", "2:0:0:0:0:2")};
        for (const DiscoverEntry &entry : entries)
            view->add_item(&entry);

        onDialog(this, [] {
            dialogField(1)->setText("192.0.2.50");
            QTest::keyClick(dia, Qt::Key_Escape);
        });
        view->doubleClickedItem(view->topLevelItem(0), QPoint(), QHostView::Mac);
        QVERIFY(discoverButton->isEnabled());
        QCOMPARE(view->topLevelItemCount(), 2);

        QString secondMac;
        QStringList fields;
        onDialog(this, [&] {
            secondMac = qobject_cast<QLabel *>(dialogWidget(0))->text();
            for (int i : {1, 2, 4})
                fields << dialogField(i)->text();
            dia->reject();
        });
        view->doubleClickedItem(view->topLevelItem(1), QPoint(), QHostView::Hostname);
        QCOMPARE(secondMac, QString("2:0:0:0:0:2"));
        QCOMPARE(fields,
                 (QStringList{"192.0.2.50", "Enter new netmask", "Enter file to be uploaded"}));
        setDialogFields(prompts);
    }

    void acceptStartsNewRun()
    {
        DiscoverEntry entry = device("192.0.2.1", "2:0:0:0:0:1");
        view->add_item(&entry);
        QSignalSpy done(view, &QHostView::refresh_done);
        QSignalSpy status(view, &QHostView::statusMessage);
        onDialog(this, [] { QTest::mouseClick(dialogWidget(5), Qt::LeftButton); });
        view->doubleClickedItem(view->topLevelItem(0), QPoint(), QHostView::Netmask);
        QVERIFY(!discoverButton->isEnabled());
        QVERIFY(done.wait(10000));
        QCOMPARE(done.at(0).at(0).toInt(), 0);
        QCOMPARE(view->topLevelItemCount(), 0);
        QVERIFY(discoverButton->isEnabled());
        // Untouched prompts ask for no setup and no install.
        QCOMPARE(status.count(), 0);
    }

    void acceptNamesFieldsNotUnderstood()
    {
        DiscoverEntry entry = device("192.0.2.1", "2:0:0:0:0:1");
        view->add_item(&entry);
        QSignalSpy done(view, &QHostView::refresh_done);
        QSignalSpy status(view, &QHostView::statusMessage);
        onDialog(this, [] {
            setDialogFields({"300.1.2.3", "255.255.255.0", "/nonexistent/image"});
            QTest::mouseClick(dialogWidget(5), Qt::LeftButton);
        });
        view->doubleClickedItem(view->topLevelItem(0), QPoint(), QHostView::Mac);
        QVERIFY(done.wait(10000));
        setDialogFields(prompts);

        // One line naming both fields; no exchange ran, so no other line.
        QCOMPARE(status.count(), 1);
        const QString line = status.at(0).at(0).toString();
        QVERIFY2(line.startsWith("2:0:0:0:0:1: not sent:") && line.contains("IP field") &&
                     line.contains("file field") && !line.contains("netmask"),
                 qPrintable(line));
        QCOMPARE(box->findChild<QLabel *>("statusLine")->text(), line);
    }

    void conflictsMarkTheListedRow_data()
    {
        QTest::addColumn<QString>("address");
        QTest::addColumn<QStringList>("skipped");
        QTest::addColumn<QString>("tip");

        QTest::newRow("same device again")
            << "192.0.2.1" << QStringList{"2:0:0:0:0:1", "2:0:0:0:0:1"} << QString();
        QTest::newRow("another device, answering twice")
            << "192.0.2.1" << QStringList{"2:0:0:0:0:2", "2:0:0:0:0:2"}
            << "Address conflict: also answered by 2:0:0:0:0:2";
        QTest::newRow("two others")
            << "192.0.2.1" << QStringList{"2:0:0:0:0:2", "2:0:0:0:0:1", "2:0:0:0:0:3"}
            << "Address conflict: also answered by 2:0:0:0:0:2, 2:0:0:0:0:3";
        QTest::newRow("devices without an address")
            << "0.0.0.0" << QStringList{"2:0:0:0:0:2", "2:0:0:0:0:3"}
            << "2 more device(s) without an address are hidden behind this row: "
               "2:0:0:0:0:2, 2:0:0:0:0:3";
    }

    void conflictsMarkTheListedRow()
    {
        QFETCH(QString, address);
        QFETCH(QStringList, skipped);
        QFETCH(QString, tip);
        DiscoverEntry listed = device(qPrintable(address), "2:0:0:0:0:1");
        DiscoverEntry bystander = device("192.0.2.77", "2:0:0:0:0:77");
        view->add_item(&listed);
        view->add_item(&bystander);
        for (const QString &mac : skipped) {
            DiscoverEntry reply = device(qPrintable(address), qPrintable(mac));
            view->add_skipped(&reply);
        }
        QCOMPARE(!view->topLevelItem(0)->icon(QHostView::Ip).isNull(), !tip.isEmpty());
        QCOMPARE(toolTip(0).section('\n', 1), tip);
        QVERIFY(view->topLevelItem(1)->icon(QHostView::Ip).isNull());

        // The next run forgets the rows: a late skip finds nothing to mark.
        view->purge_items();
        view->add_skipped(&bystander);
    }

    void toolTipNamesTheInterface()
    {
        DiscoverInterface where{};
        std::strcpy(where.name, "veth-lab");
        inet_pton(AF_INET, "192.0.2.254", &where.addr);
        DiscoverEntry entries[] = {device("192.0.2.1", "2:0:0:0:0:1"),
                                   device("192.0.2.2", "2:0:0:0:0:2")};
        view->add_item(&entries[0], &where);
        view->add_item(&entries[1]);
        QCOMPARE(toolTip(0), QString("Found on veth-lab (192.0.2.254)"));
        QCOMPARE(toolTip(1), QString("Found through the default interface (any address)"));
    }

    void headerSortsAddressesAsNumbers()
    {
        DiscoverEntry entries[] = {device("192.0.2.10", "2:0:0:0:0:1", "c", "", "255.255.255.0"),
                                   device("192.0.2.9", "2:0:0:0:0:2", "a", "", "255.0.0.0"),
                                   device("192.0.2.100", "2:0:0:0:0:3", "b", "", "255.255.0.0")};
        for (const DiscoverEntry &entry : entries)
            view->add_item(&entry);
        QCOMPARE(addressesInViewOrder(), (QStringList{"192.0.2.10", "192.0.2.9", "192.0.2.100"}));

        struct {
            int column;
            QStringList ascending;
        } const sorts[] = {
            {QHostView::Ip, {"192.0.2.9", "192.0.2.10", "192.0.2.100"}},
            {QHostView::Netmask, {"192.0.2.9", "192.0.2.100", "192.0.2.10"}},
        };
        QHeaderView *header = view->header();
        for (const auto &sort : sorts) {
            const QPoint at(header->sectionViewportPosition(sort.column) + 5, header->height() / 2);
            QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, at);
            QStringList expected = sort.ascending;
            if (header->sortIndicatorOrder() == Qt::DescendingOrder)
                std::reverse(expected.begin(), expected.end());
            QCOMPARE(header->sortIndicatorSection(), sort.column);
            QCOMPARE(addressesInViewOrder(), expected);
        }
        view->setSortingEnabled(false);
    }

    void rowMenuCopies_data()
    {
        QTest::addColumn<QString>("action");
        QTest::addColumn<QString>("copied");
        QTest::newRow("IP") << "Copy IP"
                            << "192.0.2.10";
        QTest::newRow("MAC") << "Copy MAC"
                             << "0:a:95:1:2b:ff";
        QTest::newRow("row") << "Copy row"
                             << "192.0.2.10\t255.255.255.0\t0:a:95:1:2b:ff\tdev\tfw 1";
    }

    void rowMenuCopies()
    {
        QFETCH(QString, action);
        QFETCH(QString, copied);
        DiscoverEntry entry = device("192.0.2.10", "0:a:95:1:2b:ff", "dev", "fw 1");
        view->add_item(&entry);
        QGuiApplication::clipboard()->clear();
        QTimer::singleShot(0, this, [action] {
            auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget());
            if (menu == nullptr)
                return;
            for (QAction *item : menu->actions())
                if (item->text() == action)
                    item->trigger();
            menu->close();
        });
        const QPoint at = cellPoint(0, QHostView::Hostname);
        QContextMenuEvent event(QContextMenuEvent::Mouse, at, view->viewport()->mapToGlobal(at));
        QApplication::sendEvent(view->viewport(), &event);
        QCOMPARE(QGuiApplication::clipboard()->text(), copied);
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
        QCOMPARE(out.count("Performing discover\n"), 2);
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

QTEST_MAIN(TestHostView)
#include "tst_hostview.moc"
