// SPDX-License-Identifier: GPL-3.0-or-later
// The window, offscreen: the host list and the setup dialog, and the runs,
// setups and installs they start against simulated devices on loopback.
#include "discoveryoptions.h"
#include "hostitem.h"
#include "installdialog.h"
#include "mainwindow.h"
#include "qhostview.h"
#include "setuprequest.h"
#include "sim_devices.h"
#include "stillscrollbar.h"

#include <QtTest>
#include <QtWidgets>
#include <cerrno>
#include <memory>

namespace
{

// What every run says first here, where only loopback is up.
const QString fallbackNote =
    "No network interface can broadcast: asked through the default route only";
const QStringList prompts = {"Enter new IP", "Enter new netmask", "Enter file to be uploaded"};

// Lists a row for a device at ip, as a run that heard it from there would.
QTreeWidgetItem *listDevice(const QString &ip, const QString &mac)
{
    const DiscoverEntry entry = device(qPrintable(ip), qPrintable(mac));
    view->add_item(&entry, nullptr, &entry.ipaddr);
    return view->topLevelItem(view->topLevelItemCount() - 1);
}

} // namespace

class TestWindow : public QObject
{
    Q_OBJECT

    std::unique_ptr<QWidget> box;
    QTemporaryDir dir;
    const QString small = dir.filePath("small"), large = dir.filePath("large");

    QLabel *statusLine() { return box->findChild<QLabel *>("statusLine"); }
    QPushButton *cancelButton() { return box->findChild<QPushButton *>("cancelButton"); }
    // The dialog's widgets from the top: label, IP, netmask, DHCP, file, button.
    QWidget *dialogWidget(int position) { return dia->layout()->itemAt(position)->widget(); }
    QByteArray browserCalls()
    {
        QFile log(dir.filePath("kfmclient.log"));
        return log.open(QIODevice::ReadOnly) ? log.readAll() : QByteArray();
    }

    // Types texts into the IP, netmask and file fields, and sets the DHCP box.
    void setDialogFields(const QStringList &texts, bool dhcp = false)
    {
        for (int i = 0; i < 3; ++i)
            qobject_cast<QLineEdit *>(dialogWidget(i < 2 ? i + 1 : 4))->setText(texts[i]);
        qobject_cast<QCheckBox *>(dialogWidget(3))->setChecked(dhcp);
    }

    // Opens the setup dialog of row and accepts it with fields.
    void acceptOn(QTreeWidgetItem *row, const QStringList &fields)
    {
        onModal<InstallDialog>([this, fields](InstallDialog *) {
            setDialogFields(fields);
            QTest::mouseClick(dialogWidget(5), Qt::LeftButton);
        });
        view->doubleClickedItem(row, QPoint(), QHostView::Hostname);
    }

  private slots:
    void initTestCase()
    {
        QVERIFY2(only_loopback(), "not in a private network namespace: run through netns-run");
        // The windows' settings go here, not to the user's.
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(dir.filePath("config")));
        for (const auto &[file, size] : {std::pair(small, 5000), std::pair(large, 16 << 20)}) {
            QFile image(file);
            QVERIFY(image.open(QIODevice::WriteOnly) && image.write(QByteArray(size, 'i')) == size);
        }
        // A stand-in browser launcher that records its arguments.
        QFile script(dir.filePath("kfmclient"));
        QVERIFY(script.open(QIODevice::WriteOnly));
        script.write("#!/bin/sh\nprintf '%s\\n' \"$@\" >> \"$0.log\"\n");
        script.close();
        script.setPermissions(QFile::ReadOwner | QFile::ExeOwner);
        qputenv("PATH", dir.path().toLocal8Bit() + ":" + qgetenv("PATH"));
    }

    void init()
    {
        box = std::make_unique<QWidget>();
        setup_main_window(*box);
        box->show();
        QFile::remove(dir.filePath("kfmclient.log"));
    }

    // What the dialog's fields ask of a device, and what is refused before
    // anything is sent, the field named.
    void request_data()
    {
        QTest::addColumn<QString>("mac");
        QTest::addColumn<QStringList>("fields"); // IP, netmask, file
        QTest::addColumn<bool>("dhcp");
        // What is sent: "IP NETMASK DHCP" for a setup, then "image" for an
        // install; and what the problem line holds ("" for none).
        QTest::addColumn<QString>("sent");
        QTest::addColumn<QString>("problem");
        const auto row = [](const char *name, const QStringList &fields, bool dhcp,
                            const char *sent, const char *problem = "",
                            const char *mac = "0:a:95:1:2b:ff") {
            QTest::newRow(name) << QString(mac) << fields << dhcp << QString(sent)
                                << QString(problem);
        };
        const QString ip = "198.18.0.5";
        row("prompts only", prompts, false, "");
        row("DHCP alone", prompts, true, "0.0.0.0 0.0.0.0 1");
        row("DHCP with an address", {ip, "", ""}, true, "198.18.0.5 0.0.0.0 1");
        row("setup and install", {ip, " 255.255.0.0 ", small}, false,
            "198.18.0.5 255.255.0.0 0 image");
        row("address without netmask", {ip, "", ""}, false, "", "both");
        row("short address", {"198.18.0", "255.0.0.0", ""}, true, "", "IP field");
        row("netmask with a gap", {ip, "255.0.255.0", ""}, false, "", "netmask field");
        row("subnet broadcast", {"198.18.0.255", "255.255.255.0", ""}, false, "",
            "IP field (\"198.18.0.255\"): the broadcast address of its subnet");
        row("missing image, setup still sent", {ip, "255.0.0.0", dir.filePath("missing")}, false,
            "198.18.0.5 255.0.0.0 0", "file field");
        row("group MAC", {ip, "255.0.0.0", small}, false, "", "the MAC", "1:0:5e:0:0:1");
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

        QStringList asked;
        if (request.setup)
            asked << inet_ntoa(request.ipaddr) << inet_ntoa(request.netmask)
                  << QString::number(request.dhcp);
        if (request.install)
            asked << "image";
        QCOMPARE(asked.join(' '), sent);
        QVERIFY2(problem.isEmpty() ? line.isEmpty()
                                   : line.startsWith(mac + ": not sent: ") &&
                                         line.contains(problem) && !line.contains(';'),
                 qPrintable(line));
    }

    // Install outcomes the runs against the simulated devices do not reach.
    // An upload's figures are acked of size, and the whole image counts as
    // sent, so that words built from the sent count show.
    void describe()
    {
        const auto report = [](ExchangeStage stage, int result, int error, uint64_t acked = 0,
                               uint64_t size = 0) {
            return ExchangeReport{stage, result, error, {}, size, size, acked};
        };
        const std::pair<ExchangeReport, const char *> cases[] = {
            {report(STAGE_REFUSED, 0, 0), "an answer without a valid result (0)"},
            {report(STAGE_SOCKET, 0, EACCES), "could not open a socket: Permission denied"},
            {report(STAGE_INPUT, 0, EINVAL), "nothing sent: the MAC names no single device"},
            {report(STAGE_INPUT, 0, EFBIG),
             "nothing sent: the image cannot be uploaded: File too large"},
            {report(STAGE_REFUSED, 3, 0), "socket creation failed"},
            {report(STAGE_NO_REPLY, 0, EAGAIN), "no reply within the time-out"},
            {report(STAGE_CONNECT, 2, ECONNREFUSED), "connection refused"},
            {report(STAGE_IMAGE, 2, ENOENT), "could not read the image: No such file or directory"},
            {report(STAGE_CANCELLED, 2, ECANCELED), "cancelled"},
            // The device's counts, not what was handed to the connection.
            {report(STAGE_CANCELLED, 2, ECANCELED, 100, 900), "cancelled after 100 of 900 bytes"},
            {report(STAGE_UPLOAD, 2, ETIMEDOUT, 100, 900),
             "device stopped reading after 100 of 900 bytes"},
            {report(STAGE_UPLOAD, 2, ECONNRESET, 100, 900),
             "upload failed after 100 of 900 bytes: Connection reset by peer"}};
        for (const auto &[report, words] : cases)
            QCOMPARE(describe_install(report), words);
    }

    // Per column, three rows' texts (Latin-1; a field without its terminator
    // cut at its end) and tips. On the second row a click on the IP opens its
    // page, a double-click elsewhere its setup dialog, where Esc starts
    // nothing and keeps what was typed; its menu copies the IP, MAC or row.
    void rows_data()
    {
        QTest::addColumn<int>("column");
        QTest::addColumn<QStringList>("texts");
        QTest::newRow("IP") << 0 << QStringList{"192.0.2.10", "192.0.2.10", "0.0.0.0"};
        QTest::newRow("netmask") << 1 << QStringList{"255.255.0.0", "255.255.255.0", "0.0.0.0"};
        QTest::newRow("MAC") << 2 << QStringList{"0:a:95:1:2b:ff", "2:0:0:0:0:1", "0:0:0:0:0:0"};
        QTest::newRow("hostname") << 3 << QStringList{"dev-1", "\u0080\u009f\u00a0\u00ff", "after"};
        const QString wide(sizeof(DiscoverEntry::firmware), 'x');
        QTest::newRow("firmware") << 4 << QStringList{"fw 1.2", "caf\u00e9", wide};
    }

    void rows()
    {
        QFETCH(int, column);
        QFETCH(QStringList, texts);
        DiscoverInterface where{"veth-lab", {}};
        inet_pton(AF_INET, "192.0.2.254", &where.addr);
        DiscoverEntry entries[] = {
            device("192.0.2.10", "00:0A:95:01:2B:FF", "255.255.0.0", "dev-1", "fw 1.2"),
            device("192.0.2.10", "2:0:0:0:0:1", "255.255.255.0", "\x80\x9f\xa0\xff", "caf\xe9"),
            device("0.0.0.0", "0:0:0:0:0:0", "0.0.0.0", "after")};
        std::memset(entries[2].firmware, 'x', sizeof(entries[2].firmware));
        view->add_item(&entries[0], &where);
        view->add_item(&entries[1], &where);
        view->add_item(&entries[2]);
        for (int row = 0; row < 3; ++row)
            QCOMPARE(view->topLevelItem(row)->text(column), texts[row]);
        QCOMPARE(view->topLevelItem(1)->toolTip(column),
                 "Found on veth-lab (192.0.2.254)\nAddress "
                 "conflict: also answered by 0:a:95:1:2b:ff");
        QVERIFY(!view->topLevelItem(1)->icon(QHostView::Ip).isNull());
        // Without a row nothing opens; only an address reaches the browser.
        view->clickedItem(nullptr, QPoint(), column);
        view->doubleClickedItem(nullptr, QPoint(), column);
        QVERIFY(!view->openurl("1.2.3.4\"; touch x; \""));

        // A point inside the cell that stays in sight however wide it is.
        const QRect cell = view->visualRect(view->model()->index(1, column));
        const QPoint at(cell.left() + 5, cell.center().y());
        // Ctrl and Shift select rows: a click with them opens nothing.
        for (const auto modifier : {Qt::ControlModifier, Qt::ShiftModifier, Qt::NoModifier})
            QTest::mouseClick(view->viewport(), Qt::LeftButton, modifier, at);
        // The view acts on a double-click only where the same button was
        // pressed, as it just was.
        QString shownMac;
        onModal<InstallDialog>([&](InstallDialog *) {
            shownMac = dialogWidget(0)->property("text").toString();
            // A double-click in the file field opens a chooser, and selects no word.
            chooseFile(small);
            QTest::mouseDClick(dialogWidget(4), Qt::LeftButton, {}, QPoint(5, 5));
            qobject_cast<QLineEdit *>(dialogWidget(1))->setText("192.0.2.50");
            QTest::keyClick(dia, Qt::Key_Escape);
        });
        QTest::mouseDClick(view->viewport(), Qt::LeftButton, {}, at);
        QCoreApplication::processEvents();
        const bool ip = column == QHostView::Ip;
        QCOMPARE(shownMac, ip ? QString() : "2:0:0:0:0:1");
        QCOMPARE(dia->fields().ip + dia->fields().file, ip ? QString() : "192.0.2.50" + small);
        QVERIFY(!qobject_cast<QLineEdit *>(dialogWidget(4))->hasSelectedText());
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
        const QString copies[] = {
            "192.0.2.10", "2:0:0:0:0:1",
            "192.0.2.10\t255.255.255.0\t2:0:0:0:0:1\t\u0080\u009f\u00a0\u00ff\tcaf\u00e9\tlocally "
            "administered\t\t"};
        QCOMPARE(QGuiApplication::clipboard()->text(), copies[column % 3]);

        // The next run forgets the marks.
        view->purge_items();
        view->add_item(&entries[1], &where);
        QVERIFY(view->topLevelItem(0)->icon(QHostView::Ip).isNull());
    }

    // The list draws its cells as the style's own delegate would: a marked
    // row's icon, a selected and current row, an absent row greyed, and a
    // text cut short to its column, from left to right and from the right.
    void cellsDrawnAsStyled_data()
    {
        QTest::addColumn<Qt::LayoutDirection>("direction");
        QTest::newRow("left to right") << Qt::LeftToRight;
        QTest::newRow("right to left") << Qt::RightToLeft;
    }

    void cellsDrawnAsStyled()
    {
        QFETCH(Qt::LayoutDirection, direction);
        view->setLayoutDirection(direction);
        listDevice("127.1.0.1", "2:0:0:0:0:1");
        listDevice("127.1.0.1", "2:0:0:0:0:2");
        auto *absent = static_cast<HostItem *>(listDevice("127.1.0.3", "2:0:0:0:0:3"));
        absent->setAbsent();
        view->setCurrentItem(view->topLevelItem(1));
        view->setColumnWidth(QHostView::Mac, 40);
        QStyledItemDelegate styled;
        QAbstractItemDelegate *own = view->itemDelegate();
        const QImage drawn = view->viewport()->grab().toImage();
        view->setItemDelegate(&styled);
        const QImage expected = view->viewport()->grab().toImage();
        view->setItemDelegate(own);
        QVERIFY(!view->topLevelItem(0)->icon(QHostView::Ip).isNull());
        QVERIFY(drawn == expected);
    }

    // A scroll bar repainted from its picture looks as a plain one in the
    // same state, under the pointer and after it left, whatever changed
    // since the picture was taken.
    void stillScrollBar()
    {
        QWidget parent;
        StillScrollBar still(Qt::Horizontal, &parent);
        QScrollBar plain(Qt::Horizontal, &parent);
        QScrollBar *const bars[] = {&still, &plain};
        const std::function<void(QScrollBar &)> changes[] = {
            [](QScrollBar &) {},
            [](QScrollBar &bar) { bar.setValue(40); },
            [](QScrollBar &bar) { bar.setMaximum(400); },
            [](QScrollBar &bar) { bar.setMinimum(20); },
            [](QScrollBar &bar) { bar.setPageStep(200); },
            [](QScrollBar &bar) { bar.resize(300, bar.height()); },
            [](QScrollBar &bar) { bar.setLayoutDirection(Qt::RightToLeft); },
            [](QScrollBar &bar) { bar.setEnabled(false); },
            [](QScrollBar &bar) { bar.setPalette(QPalette(Qt::red)); }};
        // Away from the pointer, which rests at the screen's corner.
        int top = 40;
        for (QScrollBar *bar : bars) {
            bar->setGeometry(0, std::exchange(top, top + 30), 200, 16);
            bar->setRange(0, 100);
        }
        parent.show();
        QVERIFY(QTest::qWaitForWindowExposed(&parent));
        // Under the pointer a bar lights the part beneath it. No pointer moves
        // offscreen: each bar is marked as under it and hovered, as the
        // application would.
        QImage lit[2];
        for (QScrollBar *bar : bars) {
            bar->setAttribute(Qt::WA_UnderMouse);
            QHoverEvent hover(QEvent::HoverMove, QPointF(5, 8), bar->mapToGlobal(QPointF(5, 8)),
                              QPointF(-1, -1));
            QApplication::sendEvent(bar, &hover);
            lit[bar == &plain] = bar->grab().toImage();
        }
        for (QScrollBar *bar : bars) {
            QHoverEvent leave(QEvent::HoverLeave, QPointF(-1, -1), QPointF(-1, -1), QPointF(5, 8));
            QApplication::sendEvent(bar, &leave);
            bar->setAttribute(Qt::WA_UnderMouse, false);
        }
        QVERIFY(lit[0] == lit[1] && lit[0] != plain.grab().toImage());
        for (const auto &change : changes) {
            change(still);
            change(plain);
            QVERIFY(still.grab().toImage() == plain.grab().toImage());
        }
    }

    // Marked devices, one per exchange outcome (N at 127.1.1.N, MAC
    // 2:0:0:0:1:N), and an impostor answering every setup and install at once
    // with the asked-for MAC: only replies from the row's address may count.
    // Requests accepted during a discovery wait for it and run in turn; a
    // second discovery lists the devices as they are, then "Discover" is back.
    void run()
    {
        SimDevices sim;
        QVERIFY(sim.start(
            {"addr=127.1.0.3,ip=127.9.9.9,mac=2:0:0:0:0:3,answer=first",
             "addr=127.1.0.4,ip=127.9.9.9,mac=2:0:0:0:0:4",
             "addr=127.1.0.5,ip=none,mac=2:0:0:0:0:5,answer=first",
             "addr=127.1.0.6,ip=none,mac=2:0:0:0:0:6,answer=first",
             "addr=127.1.0.7,mac=2:0:0:0:0:77,answer=first",
             "addr=127.1.0.8,mac=2:0:0:0:0:77,answer=first", "addr=127.1.1.1,mac=2:0:0:0:1:1",
             "addr=127.1.1.2,mac=2:0:0:0:1:2,setup=1,delay=300", "addr=127.1.1.3,mac=2:0:0:0:1:3",
             "addr=127.1.1.4,mac=2:0:0:0:1:4,install=1",
             "addr=127.1.1.5,mac=2:0:0:0:1:5,close-after=1000", "addr=127.1.1.10,claim=echo"}));
        const QStringList fields[] = {{"198.18.0.50", " 255.255.0.0 ", prompts[2]},
                                      {"198.18.0.60", "255.255.0.0", prompts[2]},
                                      {prompts[0], prompts[1], small},
                                      {prompts[0], prompts[1], small},
                                      {prompts[0], prompts[1], large},
                                      {"300.1.2.3", "255.255.255.0", "/nonexistent/image"}};
        listDevice("127.1.0.99", "2:0:0:0:0:99"); // left from an earlier run
        QObject watch;                            // ends the watching with the test
        QSignalSpy busy(view, &QHostView::busyChanged);
        QSignalSpy done(view, &QHostView::refresh_done);
        QStringList said;
        connect(view, &QHostView::statusMessage, &watch,
                [&](const QString &line) { said << line; });
        QTest::mouseClick(discoverButton, Qt::LeftButton);
        QVERIFY(!discoverButton->isEnabled() && cancelButton()->isEnabled());
        for (int n = 1; n <= 6; ++n)
            acceptOn(listDevice(QString("127.1.1.%1").arg(n), QString("2:0:0:0:1:%1").arg(n)),
                     fields[n - 1]);
        QCOMPARE(done.count(), 0);
        QTRY_COMPARE_WITH_TIMEOUT(done.count(), 2, 30000);
        QCOMPARE(busy, (QList<QList<QVariant>>{{true}, {false}}));
        QVERIFY(discoverButton->isEnabled() && !cancelButton()->isEnabled());

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
        QVERIFY2(QRegularExpression("^" + expected + "$").match(said.join('\n')).hasMatch(),
                 qPrintable(said.join('\n')));
        QCOMPARE(statusLine()->text(), said.last());
        QVERIFY2(!sim.logged("^(setup|install) .* mac=02:00:00:00:01:06 "), qPrintable(sim.log));

        QCOMPARE(done.at(1).at(0).toInt(), view->topLevelItemCount());
        // A first click on the IP header sorts by address as numbers.
        QTest::mouseClick(view->header()->viewport(), Qt::LeftButton, {}, QPoint(5, 5));
        QStringList rows;
        quint32 previous = 0;
        for (int row = 0; row < view->topLevelItemCount(); ++row) {
            const QTreeWidgetItem *item = view->topLevelItem(row);
            QStringList tip = item->toolTip(QHostView::Ip).split('\n');
            // Only loopback here, so every run uses the wildcard address.
            QCOMPARE(tip.takeFirst(), "Found through the default interface (any address)");
            QCOMPARE(item->icon(QHostView::Ip).isNull(), tip.isEmpty());
            rows << (QStringList{item->text(QHostView::Ip)} + tip).join(" / ");
            const quint32 address = ntohl(inet_addr(qPrintable(item->text(QHostView::Ip))));
            QVERIFY2(address >= previous, qPrintable(rows.join(", ")));
            previous = address;
        }
        rows.sort();
        QCOMPARE(rows,
                 (QStringList{"0.0.0.0 / Also without an address: 2:0:0:0:0:5",
                              "0.0.0.0 / Also without an address: 2:0:0:0:0:6",
                              "127.1.0.7 / MAC conflict: the same MAC also answered from 127.1.0.8",
                              "127.1.0.8 / MAC conflict: the same MAC also answered from 127.1.0.7",
                              "127.1.1.10", "127.1.1.2", "127.1.1.3", "127.1.1.4", "127.1.1.5",
                              "127.9.9.9 / Address conflict: also answered by 2:0:0:0:0:3",
                              "127.9.9.9 / Address conflict: also answered by 2:0:0:0:0:4",
                              "198.18.0.50"}));
    }

    // A target from "Discovery options…" reaches the runs: the row of the
    // device it reached says so, and the run and the row's setup send from
    // the chosen port. What is not an address is not taken.
    void target()
    {
        SimDevices sim;
        QVERIFY(sim.start({"addr=127.1.3.1,mac=2:0:0:0:3:1", "addr=127.1.3.2,mac=2:0:0:0:3:2"}));
        auto *options = box->findChild<DiscoveryOptions *>();
        auto *targets = options->findChild<QPlainTextEdit *>("targets");
        QPushButton *ok = options->findChild<QDialogButtonBox *>()->button(QDialogButtonBox::Ok);
        box->findChild<QAction *>("discoveryOptions")->trigger();
        QVERIFY(options->isVisible());
        targets->setPlainText("127.1.3.1, 127.1.3");
        QVERIFY(!ok->isEnabled());
        QCOMPARE(options->findChild<QLabel *>("targetProblem")->text(),
                 "Not a dotted IPv4 address: \"127.1.3\"");
        targets->setPlainText("127.1.3.1\n127.1.3.1");
        options->findChild<QSpinBox *>("sourcePort")->setValue(40999);
        QTest::mouseClick(ok, Qt::LeftButton);
        QVERIFY(!options->isVisible());
        QCOMPARE(targets->toPlainText(), "127.1.3.1");

        QSignalSpy done(view, &QHostView::refresh_done);
        QTest::mouseClick(discoverButton, Qt::LeftButton);
        QVERIFY(done.wait(20000));
        QStringList rows;
        QTreeWidgetItem *targeted = nullptr;
        for (int i = 0; i < view->topLevelItemCount(); ++i) {
            QTreeWidgetItem *item = view->topLevelItem(i);
            const QString ip = item->text(QHostView::Ip);
            rows << (QStringList{ip} + item->toolTip(QHostView::Ip).split('\n').mid(1)).join(" / ");
            if (ip == "127.1.3.1")
                targeted = item;
        }
        rows.sort();
        QCOMPARE(rows, (QStringList{"127.1.3.1 / Found through 127.1.3.1", "127.1.3.2"}));
        QVERIFY2(sim.logged("^discover .* from=[0-9.]+:40999 "), qPrintable(sim.log));
        acceptOn(targeted, {"198.18.0.70", "255.255.0.0", prompts[2]});
        QVERIFY(done.wait(20000));
        QVERIFY2(sim.logged("^setup .* from=[0-9.]+:40999 mac=02:00:00:00:03:01 ip=198.18.0.70 "),
                 qPrintable(sim.log));
    }

    // A run nobody answers says why, from the doctor's checks (here: only
    // loopback is up), and Details… shows their report.
    void emptyRunExplained()
    {
        auto *details = box->findChild<QPushButton *>("detailsButton");
        QVERIFY(details->isHidden());
        QSignalSpy done(view, &QHostView::refresh_done);
        QTest::mouseClick(discoverButton, Qt::LeftButton);
        QVERIFY(done.wait(20000));
        QTRY_COMPARE(statusLine()->text(),
                     "No device answered: interfaces: none is up with IPv4 and broadcast, so a "
                     "run asks through the default route only: bring up the interface the devices "
                     "are on");
        QVERIFY(!details->isHidden());
        QTest::mouseClick(details, Qt::LeftButton);
        auto *report = box->findChild<QPlainTextEdit *>("doctorReport");
        QVERIFY(report != nullptr && report->isVisible());
        QVERIFY2(report->toPlainText().startsWith("problem: interfaces: none is up") &&
                     report->toPlainText().contains("\nok: limited broadcast: "),
                 qPrintable(report->toPlainText()));
        report->window()->close();
        QTest::mouseClick(discoverButton, Qt::LeftButton);
        QVERIFY(details->isHidden());
    }

    // Esc (Cancel's key) or closing the window ends the run's wait at once and
    // drops the setup queued behind it; the next run carries nothing of it,
    // is not cancelled, and clears the list though nothing answers.
    void endsPromptly_data()
    {
        QTest::addColumn<QStringList>("fields");
        QTest::addColumn<QString>("device");   // keys for 127.1.0.1, MAC 2:0:0:0:0:1
        QTest::addColumn<QString>("underWay"); // the device's line once the wait began
        // The status line after Esc, as a pattern; "" to close the window.
        QTest::addColumn<QString>("said");
        QTest::newRow("discovery, Esc")
            << prompts << QString() << "^discover " << QString("Discovery cancelled");
        QTest::newRow("reply wait, close")
            << QStringList{"198.18.0.50", "255.255.0.0", ""} << ",setup=none"
            << "^setup " << QString();
        QTest::newRow("stalled upload, Esc")
            << QStringList{prompts[0], prompts[1], large} << ",stall-after=65536"
            << "^upload .* status=stalled"
            << "Install on 2:0:0:0:0:1: cancelled after \\d+ of 16777216 bytes";
    }

    void endsPromptly()
    {
        QFETCH(QStringList, fields);
        QFETCH(QString, device);
        QFETCH(QString, underWay);
        QFETCH(QString, said);
        SimDevices sim;
        QVERIFY(sim.start(
            {"addr=127.1.0.1,mac=2:0:0:0:0:1" + device, "addr=127.1.0.2,mac=2:0:0:0:0:2"}));
        acceptOn(listDevice("127.1.0.1", "2:0:0:0:0:1"), fields);
        QTRY_VERIFY_WITH_TIMEOUT(sim.logged(underWay), 10000);
        QTest::qWait(200); // into the wait
        acceptOn(listDevice("127.1.0.2", "2:0:0:0:0:2"), {"198.18.0.60", "255.255.0.0", ""});
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
        QCOMPARE(next, (QList<QList<QVariant>>{{fallbackNote}}));
        QCOMPARE(view->topLevelItemCount(), 0);
    }
};

QTEST_MAIN(TestWindow)
#include "tst_window.moc"
