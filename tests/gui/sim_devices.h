// SPDX-License-Identifier: GPL-3.0-or-later
// Common ground of the window's tests: simulated devices, serving in the
// test's private network namespace until started again or destroyed; the
// records of devices a run would hand the list; answers to modal dialogs.
#pragma once

#include "discover.h"
#include "only_loopback.h"
#include "ready_pipe.h"

#include <QApplication>
#include <QFileDialog>
#include <QLineEdit>
#include <QProcess>
#include <QRegularExpression>
#include <QStringList>
#include <QTimer>
#include <arpa/inet.h>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <netinet/ether.h>
#include <sys/prctl.h>

class SimDevices : public QProcess
{
  public:
    ~SimDevices() override { stop(); }

    // True once the devices answer. Only where only_loopback() holds.
    bool start(const QStringList &devices)
    {
        stop();
        ReadyPipe ready;
        if (!ready.open())
            return false;
        const int fd = ready.out.get();
        setProcessChannelMode(QProcess::ForwardedErrorChannel);
        // Gone with the test; the pipe's write end alone is passed on.
        setChildProcessModifier([fd] {
            prctl(PR_SET_PDEATHSIG, SIGTERM);
            fcntl(fd, F_SETFD, 0);
        });
        QProcess::start(SIMDEVICE,
                        QStringList{"--i-am-in-a-namespace", "--ready-fd", QString::number(fd)} +
                            devices);
        return ready.wait();
    }

    void stop()
    {
        terminate();
        waitForFinished();
    }

    // Whether a line the devices logged so far matches pattern.
    bool logged(const QString &pattern)
    {
        const QRegularExpression line(pattern, QRegularExpression::MultilineOption);
        return line.match(log += QString::fromLatin1(readAllStandardOutput())).hasMatch();
    }

    QString log;
};

inline DiscoverEntry device(const char *ip, const char *mac, const char *netmask = "255.255.255.0",
                            const char *host = "", const char *firmware = "")
{
    DiscoverEntry entry{};
    inet_pton(AF_INET, ip, &entry.ipaddr);
    inet_pton(AF_INET, netmask, &entry.netmask);
    ether_aton_r(mac, &entry.mac);
    std::strncpy(entry.hostname, host, sizeof(entry.hostname) - 1);
    std::strncpy(entry.firmware, firmware, sizeof(entry.firmware) - 1);
    return entry;
}

// Runs handle on the modal T the next pass of an event loop finds shown, if
// any: the dialog's own exec loop is such a pass.
template <typename T> void onModal(const std::function<void(T *)> &handle)
{
    QTimer::singleShot(0, qApp, [handle] {
        if (auto *modal = qobject_cast<T *>(QApplication::activeModalWidget()))
            handle(modal);
    });
}

inline void chooseFile(const QString &path)
{
    onModal<QFileDialog>([path](QFileDialog *files) {
        files->findChild<QLineEdit *>("fileNameEdit")->setText(path);
        static_cast<QDialog *>(files)->accept(); // QFileDialog hides it
    });
}
