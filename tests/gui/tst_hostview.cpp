#include "mainwindow.h"
#include "qhostview.h"
#include "window_test.h"

#include <QClipboard>
#include <QContextMenuEvent>
#include <QFile>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
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
    const QRect cell = view->visualRect(view->model()->index(row, column));
    return QPoint(cell.left() + 5, cell.center().y());
}

} // namespace

class TestHostView : public QObject
{
    Q_OBJECT

    std::unique_ptr<QWidget> box = std::make_unique<QWidget>();
    QTemporaryDir bin;

    QByteArray browserCalls()
    {
        QFile log(bin.filePath("kfmclient.log"));
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

    void columns()
    {
        const QStringList titles = {"IP", "Netmask", "MAC", "Hostname", "Firmware"};
        QCOMPARE(view->columnCount(), titles.size());
        for (int c = 0; c < titles.size(); ++c)
            QCOMPARE(view->headerItem()->text(c), titles[c]);
        for (int c = QHostView::Ip; c < QHostView::Firmware; ++c)
            QCOMPARE(view->columnWidth(c), 100);
        QVERIFY(!view->rootIsDecorated());

        // The firmware column widens to its widest entry, and never narrows.
        const QString wide(120, 'W');
        const DiscoverEntry entries[] = {device("192.0.2.1", "2:0:0:0:0:1", "a", "short"),
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

    void rowTexts_data()
    {
        QTest::addColumn<DiscoverEntry>("entry");
        QTest::addColumn<QStringList>("texts");

        QTest::newRow("addresses, MAC without leading zeros")
            << device("192.0.2.10", "00:0A:95:01:2B:FF", "dev-1", "fw 1.2", "255.255.0.0")
            << QStringList{"192.0.2.10", "255.255.0.0", "0:a:95:1:2b:ff", "dev-1", "fw 1.2"};
        QTest::newRow("bytes 0x80-0xFF as Latin-1")
            << device("10.0.0.1", "02:00:00:00:00:01", "\x80\x9f\xa0\xff", "caf\xe9")
            << QStringList{"10.0.0.1", "255.255.255.0", "2:0:0:0:0:1", "\u0080\u009f\u00a0\u00ff",
                           "caf\u00e9"};

        DiscoverEntry unterminated{};
        std::memset(unterminated.firmware, 'x', sizeof(unterminated.firmware));
        QTest::newRow("no attributes, text field without terminator")
            << unterminated
            << QStringList{"0.0.0.0", "0.0.0.0", "0:0:0:0:0:0", "",
                           QString(sizeof(unterminated.firmware), 'x')};
    }

    void rowTexts()
    {
        QFETCH(DiscoverEntry, entry);
        QFETCH(QStringList, texts);
        view->add_item(&entry);
        for (int c = 0; c < QHostView::ColumnCount; ++c)
            QCOMPARE(columnTexts(c), QStringList(texts[c]));
    }

    // Neither slot acts without a row, and only an address reaches the shell.
    void nothingOpensWithoutRowOrAddress()
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
        OutputCapture out(STDOUT_FILENO);
        QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, at);
        const QByteArray traced =
            QString::asprintf("clickedItem( %p, %d )\n", view->topLevelItem(1), column).toLatin1();
        QVERIFY2(out.text().startsWith(traced), out.text().constData());
        QCOMPARE(browserCalls(), column == 0 ? QByteArray("exec\nhttp://192.0.2.10/\n") : "");

        // The view acts on a double-click only where the same button was
        // pressed, as it just was.
        dia->setMac("Mac");
        QString shownMac;
        onDialog(this, [&] {
            shownMac = dialogWidget(0)->property("text").toString();
            dia->reject();
        });
        QTest::mouseDClick(view->viewport(), Qt::LeftButton, {}, at);
        QCoreApplication::processEvents();
        QCOMPARE(shownMac, column == 0 ? QString() : QString("0:a:95:1:2b:ff"));
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

    void acceptStartsNewRun_data()
    {
        QTest::addColumn<QStringList>("fields");
        // The one status line as a pattern; empty when none is expected.
        QTest::addColumn<QString>("status");
        QTest::newRow("prompts untouched") << prompts << QString();
        QTest::newRow("fields not understood")
            << QStringList{"300.1.2.3", "255.255.255.0", "/nonexistent/image"}
            << "^2:0:0:0:0:1: not sent: (?!.*netmask).*IP field.*file field";
    }

    void acceptStartsNewRun()
    {
        QFETCH(QStringList, fields);
        QFETCH(QString, status);
        const DiscoverEntry entry = device("192.0.2.1", "2:0:0:0:0:1");
        view->add_item(&entry);
        QSignalSpy done(view, &QHostView::refresh_done);
        QSignalSpy said(view, &QHostView::statusMessage);
        acceptDialog(this, fields);
        view->doubleClickedItem(view->topLevelItem(0), QPoint(), QHostView::Netmask);
        setDialogFields(prompts);
        QVERIFY(!discoverButton->isEnabled());
        QVERIFY(done.wait(10000));
        QCOMPARE(done.at(0).at(0).toInt(), 0);
        QCOMPARE(view->topLevelItemCount(), 0);
        QVERIFY(discoverButton->isEnabled());

        // No exchange ran, so no line but the one naming what was not understood.
        QCOMPARE(said.count(), status.isEmpty() ? 0 : 1);
        if (status.isEmpty())
            return;
        const QString line = said.at(0).at(0).toString();
        QVERIFY2(QRegularExpression(status).match(line).hasMatch(), qPrintable(line));
        QCOMPARE(box->findChild<QLabel *>("statusLine")->text(), line);
    }

    void conflictsMarkTheListedRow_data()
    {
        QTest::addColumn<QString>("address");
        QTest::addColumn<QStringList>("skipped");
        // What the listed row's tool tip adds after the interface.
        QTest::addColumn<QString>("tip");

        QTest::newRow("same device again")
            << "192.0.2.1" << QStringList{"2:0:0:0:0:1", "2:0:0:0:0:1"} << QString();
        QTest::newRow("two others, one twice")
            << "192.0.2.1"
            << QStringList{"2:0:0:0:0:2", "2:0:0:0:0:1", "2:0:0:0:0:3", "2:0:0:0:0:2"}
            << "\nAddress conflict: also answered by 2:0:0:0:0:2, 2:0:0:0:0:3";
        QTest::newRow("devices without an address")
            << "0.0.0.0" << QStringList{"2:0:0:0:0:2", "2:0:0:0:0:3"}
            << "\n2 more device(s) without an address are hidden behind this row: "
               "2:0:0:0:0:2, 2:0:0:0:0:3";
    }

    void conflictsMarkTheListedRow()
    {
        QFETCH(QString, address);
        QFETCH(QStringList, skipped);
        QFETCH(QString, tip);
        DiscoverInterface where{};
        std::strcpy(where.name, "veth-lab");
        inet_pton(AF_INET, "192.0.2.254", &where.addr);
        const DiscoverEntry listed = device(qPrintable(address), "2:0:0:0:0:1");
        const DiscoverEntry bystander = device("192.0.2.77", "2:0:0:0:0:77");
        view->add_item(&listed, &where);
        view->add_item(&bystander);
        for (const QString &mac : skipped) {
            const DiscoverEntry reply = device(qPrintable(address), qPrintable(mac));
            view->add_skipped(&reply);
        }
        QTreeWidgetItem *row = view->topLevelItem(0);
        QCOMPARE(!row->icon(QHostView::Ip).isNull(), !tip.isEmpty());
        QCOMPARE(row->toolTip(QHostView::Ip), "Found on veth-lab (192.0.2.254)" + tip);
        row = view->topLevelItem(1);
        QVERIFY(row->icon(QHostView::Ip).isNull());
        QCOMPARE(row->toolTip(QHostView::Ip),
                 QString("Found through the default interface (any address)"));

        // The next run forgets the rows: a late skip finds nothing to mark.
        view->purge_items();
        view->add_skipped(&bystander);
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

    void rowMenuCopies_data()
    {
        QTest::addColumn<QString>("action");
        QTest::addColumn<QString>("copied");
        QTest::newRow("IP") << "Copy IP" << QString("192.0.2.10");
        QTest::newRow("MAC") << "Copy MAC" << QString("0:a:95:1:2b:ff");
        QTest::newRow("row") << "Copy row"
                             << QString("192.0.2.10\t255.255.255.0\t0:a:95:1:2b:ff\tdev\tfw 1");
    }

    void rowMenuCopies()
    {
        QFETCH(QString, action);
        QFETCH(QString, copied);
        const DiscoverEntry entry = device("192.0.2.10", "0:a:95:1:2b:ff", "dev", "fw 1");
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

QTEST_MAIN(TestHostView)
#include "tst_hostview.moc"
