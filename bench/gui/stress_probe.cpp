// SPDX-License-Identifier: GPL-3.0-or-later
// Drives the real window through many setup rounds the way a user does:
// double-click a device's row, type a new IP, netmask and image file into the
// "Setup Device" dialog, press "Setup", and wait for the exchanges and the
// discovery that follows. Rounds rotate over the devices given with --device.
// After each round it checks, in the simulated devices' log, that the
// discovery after the setup sent requests, and that every device came back
// as a row. At the end it closes the window; the caller checks that the
// process then exits.
//
// usage: stress_probe --rounds N --image FILE --sim-log FILE
//                     [--round-timeout SECONDS]
//                     [--pause-ms MS | --in-signal | --overlap-ms MS]
//                     --device MAC NETWORK...
// --pause-ms waits a random time up to MS after each run before the next
// double-click; --in-signal double-clicks from inside the end-of-run signal;
// --overlap-ms double-clicks a random time up to MS after the previous dialog
// was accepted, whether its run has ended or not, and checks once at the end.
// NETWORK is the first three bytes of the addresses the device is set to,
// e.g. 127.2.1 (the round number, modulo 250, is the fourth), so every round
// moves each device to a new address.
//
// Output: one "stress: round N ok ..." or "stress: FAIL round N: ..." line per
// round, then "stress: closing"; exit status 0 when every round passed.
#include "installdialog.h"
#include "mainwindow.h"
#include "qhostview.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QLayout>
#include <QPushButton>
#include <QRandomGenerator>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/ether.h>

namespace
{

struct Device {
    QString mac; // as the list writes it
    QString network;
};

QString normalMac(const char *text)
{
    ether_addr mac;
    if (ether_aton_r(text, &mac) == nullptr)
        return QString();
    char out[18];
    return QString::fromLatin1(ether_ntoa_r(&mac, out));
}

QTreeWidgetItem *rowOf(const QString &mac)
{
    for (int row = 0; row < view->topLevelItemCount(); ++row)
        if (view->topLevelItem(row)->text(QHostView::Mac) == mac)
            return view->topLevelItem(row);
    return nullptr;
}

// The dialog's widgets from the top: label, IP, netmask, DHCP, file, button.
QWidget *dialogWidget(int position)
{
    return dia->layout()->itemAt(position)->widget();
}

class Stress : public QObject
{
  public:
    int rounds = 0;
    int roundTimeoutMs = 60000;
    // The next double-click comes up to this long after the end of a run.
    int pauseMs = 0;
    // Or at once, from inside the signal that tells the end.
    bool inSignal = false;
    // Or, when not negative, up to this long after the previous dialog was
    // accepted, whether or not its run has ended.
    int overlapMs = -1;
    QString image;
    QString simLog;
    QList<Device> devices;
    QWidget *box = nullptr;

    int failures = 0;

    void start()
    {
        connect(view, &QHostView::refresh_done, this, &Stress::runEnded);
        connect(&deadline, &QTimer::timeout, this, &Stress::timedOut);
        deadline.setSingleShot(true);
        QTimer::singleShot(200, this, [this] {
            round = -1;
            armDeadline();
            discoverButton->click();
        });
    }

  private:
    int round = -1; // -1: the first discovery, before any setup
    qint64 logOffset = 0;
    QString expectedIp;
    QTimer deadline;
    QElapsedTimer roundClock;

    void armDeadline()
    {
        roundClock.start();
        deadline.start(roundTimeoutMs);
    }

    QByteArray logSince(qint64 offset)
    {
        QFile file(simLog);
        if (!file.open(QIODevice::ReadOnly))
            return QByteArray();
        file.seek(offset);
        return file.readAll();
    }

    void fail(const QString &why)
    {
        ++failures;
        std::printf("stress: FAIL round %d: %s\n", round, qPrintable(why));
        std::fflush(stdout);
    }

    void timedOut()
    {
        fail(QString("no end of the run within %1 ms (button %2); sim log since the setup:\n%3")
                 .arg(roundTimeoutMs)
                 .arg(discoverButton->isEnabled() ? "enabled" : "disabled")
                 .arg(QString::fromLatin1(logSince(logOffset))));
        close();
    }

    void close()
    {
        deadline.stop();
        disconnect(view, &QHostView::refresh_done, this, &Stress::runEnded);
        std::printf("stress: closing (%d of %d rounds failed)\n", failures, rounds);
        std::fflush(stdout);
        box->close();
    }

    // The log is the devices' view: it shows whether requests went out, which
    // the window's own state cannot.
    void checkRound(int rows)
    {
        const QByteArray log = logSince(logOffset);
        const QList<QByteArray> lines = log.split('\n');
        int lastExchange = -1;
        for (int i = 0; i < lines.size(); ++i)
            if (lines[i].startsWith("setup ") || lines[i].startsWith("install "))
                lastExchange = i;
        int discovers = 0;
        for (int i = lastExchange + 1; i < lines.size(); ++i)
            if (lines[i].startsWith("discover session="))
                ++discovers;
        QStringList problems;
        if (lastExchange < 0)
            problems << "the device saw no setup or install request";
        if (discovers == 0)
            problems << "the discovery after the setup sent no request";
        if (rows != devices.size())
            problems << QString("%1 rows listed, %2 devices").arg(rows).arg(devices.size());
        const Device &device = devices[round % devices.size()];
        QTreeWidgetItem *row = rowOf(device.mac);
        if (row == nullptr)
            problems << "no row for " + device.mac;
        else if (!expectedIp.isEmpty() && row->text(QHostView::Ip) != expectedIp)
            problems << QString("row of %1 lists %2, the setup asked for %3")
                            .arg(device.mac, row->text(QHostView::Ip), expectedIp);
        if (!problems.isEmpty()) {
            fail(problems.join("; ") + "; sim log since the setup:\n" + QString::fromLatin1(log));
            return;
        }
        std::printf("stress: round %d ok device=%s rows=%d discover_lines=%d ms=%lld\n", round,
                    qPrintable(device.mac), rows, discovers,
                    static_cast<long long>(roundClock.elapsed()));
        std::fflush(stdout);
    }

    // The discovery at start must list every device before rounds begin.
    bool firstRunListedAll(int rows)
    {
        if (rows == devices.size())
            return true;
        fail(QString("the first discovery listed %1 rows of %2 devices")
                 .arg(rows)
                 .arg(devices.size()));
        close();
        return false;
    }

    void runEnded(int rows)
    {
        if (overlapMs >= 0) {
            overlapRunEnded(rows);
            return;
        }
        deadline.stop();
        if (round < 0) {
            if (!firstRunListedAll(rows))
                return;
        } else {
            checkRound(rows);
        }
        if (++round >= rounds) {
            close();
            return;
        }
        if (inSignal) {
            startRound();
            return;
        }
        // From the event loop, as a user's double-click comes.
        const int pause = pauseMs > 0 ? QRandomGenerator::global()->bounded(pauseMs + 1) : 0;
        QTimer::singleShot(pause, this, [this] { startRound(); });
    }

    // Types the round's address, netmask and image as a user would and
    // presses "Setup", once the dialog that the double-click opens is up.
    void fillDialogOnceOpen()
    {
        QTimer::singleShot(0, this, [this] {
            if (QApplication::activeModalWidget() != dia) {
                fail("the setup dialog did not open");
                return;
            }
            qobject_cast<QLineEdit *>(dialogWidget(1))->setText(pendingIp);
            qobject_cast<QLineEdit *>(dialogWidget(2))->setText("255.255.0.0");
            qobject_cast<QLineEdit *>(dialogWidget(4))->setText(image);
            qobject_cast<QPushButton *>(dialogWidget(5))->click();
        });
    }

    void startRound()
    {
        const Device &device = devices[round % devices.size()];
        QTreeWidgetItem *row = rowOf(device.mac);
        if (row == nullptr) {
            fail("no row to double-click for " + device.mac);
            close();
            return;
        }
        // A refused setup leaves the address as it was.
        expectedIp = row->text(QHostView::Ip);
        pendingIp = QString("%1.%2").arg(device.network).arg(round % 250 + 1);
        logOffset = QFile(simLog).size();
        fillDialogOnceOpen();
        armDeadline();
        view->doubleClickedItem(row, QPoint(), QHostView::Hostname);
    }

    QString pendingIp;

    // Overlapping rounds: the next double-click does not wait for the run.
    bool awaitingIdle = false;
    int rowRetries = 0;

    void overlapRunEnded(int rows)
    {
        if (round < 0) {
            deadline.stop();
            if (!firstRunListedAll(rows))
                return;
            round = 0;
            logOffset = 0;
            deadline.start(roundTimeoutMs * rounds);
            QTimer::singleShot(0, this, [this] { overlapRound(); });
            return;
        }
        // Only the end of the run that carries the last dialog's request
        // leaves the button enabled.
        if (!awaitingIdle || !discoverButton->isEnabled())
            return;
        deadline.stop();
        const QList<QByteArray> lines = logSince(0).split('\n');
        int setups = 0, lastExchange = -1, discovers = 0;
        for (int i = 0; i < lines.size(); ++i) {
            if (lines[i].startsWith("setup "))
                ++setups;
            if (lines[i].startsWith("setup ") || lines[i].startsWith("install "))
                lastExchange = i;
        }
        for (int i = lastExchange + 1; i < lines.size(); ++i)
            if (lines[i].startsWith("discover session="))
                ++discovers;
        QStringList problems;
        if (setups != rounds)
            problems << QString("%1 setup requests reached the devices, %2 dialogs accepted")
                            .arg(setups)
                            .arg(rounds);
        if (discovers == 0)
            problems << "the discovery after the last setup sent no request";
        if (rows != devices.size())
            problems << QString("%1 rows listed, %2 devices").arg(rows).arg(devices.size());
        if (!problems.isEmpty())
            fail(problems.join("; "));
        else
            std::printf("stress: round %d ok (all %d overlapping rounds) rows=%d\n", round - 1,
                        rounds, rows);
        close();
    }

    void overlapRound()
    {
        const Device &device = devices[round % devices.size()];
        QTreeWidgetItem *row = rowOf(device.mac);
        if (row == nullptr) {
            // A run that has just started empties the list until replies come.
            if (++rowRetries > 200) {
                fail("no row to double-click for " + device.mac);
                close();
                return;
            }
            QTimer::singleShot(20, this, [this] { overlapRound(); });
            return;
        }
        rowRetries = 0;
        pendingIp = QString("%1.%2").arg(device.network).arg(round % 250 + 1);
        fillDialogOnceOpen();
        std::printf("stress: round %d dialog for %s (button %s)\n", round, qPrintable(device.mac),
                    discoverButton->isEnabled() ? "enabled" : "disabled");
        std::fflush(stdout);
        view->doubleClickedItem(row, QPoint(), QHostView::Hostname);
        if (++round >= rounds) {
            awaitingIdle = true;
            return;
        }
        QTimer::singleShot(QRandomGenerator::global()->bounded(overlapMs + 1), this,
                           [this] { overlapRound(); });
    }

  public:
    // A row's address follows the setup only when the device accepted it.
    void statusLine(const QString &line)
    {
        if (line.startsWith("Setup of ") && line.endsWith(": success"))
            expectedIp = pendingIp;
    }
};

int usage()
{
    std::fprintf(stderr,
                 "usage: stress_probe --rounds N --image FILE --sim-log FILE "
                 "[--round-timeout SECONDS] [--pause-ms MS | --in-signal | --overlap-ms MS] "
                 "--device MAC NETWORK...\n");
    return 2;
}

} // namespace

int main(int argc, char *argv[])
{
    if (!display_available())
        return 1;
    QApplication app(argc, argv);
    Stress stress;
    for (int i = 1; i < argc; ++i) {
        const bool more = i + 1 < argc;
        if (std::strcmp(argv[i], "--rounds") == 0 && more) {
            stress.rounds = std::atoi(argv[++i]);
        } else if (std::strcmp(argv[i], "--image") == 0 && more) {
            stress.image = QString::fromLocal8Bit(argv[++i]);
        } else if (std::strcmp(argv[i], "--sim-log") == 0 && more) {
            stress.simLog = QString::fromLocal8Bit(argv[++i]);
        } else if (std::strcmp(argv[i], "--round-timeout") == 0 && more) {
            stress.roundTimeoutMs = std::atoi(argv[++i]) * 1000;
        } else if (std::strcmp(argv[i], "--pause-ms") == 0 && more) {
            stress.pauseMs = std::atoi(argv[++i]);
        } else if (std::strcmp(argv[i], "--overlap-ms") == 0 && more) {
            stress.overlapMs = std::atoi(argv[++i]);
        } else if (std::strcmp(argv[i], "--in-signal") == 0) {
            stress.inSignal = true;
        } else if (std::strcmp(argv[i], "--device") == 0 && i + 2 < argc) {
            const QString mac = normalMac(argv[i + 1]);
            if (mac.isEmpty())
                return usage();
            stress.devices.append(Device{mac, QString::fromLatin1(argv[i + 2])});
            i += 2;
        } else {
            return usage();
        }
    }
    if (stress.rounds <= 0 || stress.image.isEmpty() || stress.simLog.isEmpty() ||
        stress.devices.isEmpty() || stress.roundTimeoutMs <= 0)
        return usage();

    QWidget box;
    setup_main_window(box);
    box.show();
    stress.box = &box;
    QObject::connect(view, &QHostView::statusMessage, &stress, &Stress::statusLine);
    stress.start();
    app.exec();
    return stress.failures == 0 ? 0 : 1;
}
