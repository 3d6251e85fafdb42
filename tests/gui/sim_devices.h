// SPDX-License-Identifier: GPL-3.0-or-later
// Simulated devices for the window's tests, serving in the test's private
// network namespace until started again or destroyed.
#pragma once

#include "only_loopback.h"
#include "ready_pipe.h"

#include <QProcess>
#include <QRegularExpression>
#include <QStringList>
#include <csignal>
#include <fcntl.h>
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
