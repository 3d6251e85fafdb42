// What the window tests share: capturing trace and report lines, and driving
// the setup dialog the way a user does.
#pragma once

#include "installdialog.h"
#include "mainwindow.h"

#include <QApplication>
#include <QLayout>
#include <QTemporaryFile>
#include <QTest>
#include <QTimer>
#include <cstdio>
#include <functional>
#include <unistd.h>

// Sends what is written to fd into a file until destroyed.
class OutputCapture
{
  public:
    explicit OutputCapture(int fd) : fd(fd), saved(dup(fd))
    {
        file.open();
        std::fflush(nullptr);
        dup2(file.handle(), fd);
    }
    ~OutputCapture()
    {
        std::fflush(nullptr);
        dup2(saved, fd);
        close(saved);
    }
    QByteArray text()
    {
        std::fflush(nullptr);
        file.seek(0);
        return file.readAll();
    }

  private:
    int fd;
    int saved;
    QTemporaryFile file;
};

// The dialog's widgets from the top: label, IP, netmask, DHCP, file, button.
inline QWidget *dialogWidget(int position)
{
    return dia->layout()->itemAt(position)->widget();
}

inline const QStringList prompts = {"Enter new IP", "Enter new netmask",
                                    "Enter file to be uploaded"};

// Types texts into the IP, netmask and file fields.
inline void setDialogFields(const QStringList &texts)
{
    for (int i = 0; i < 3; ++i)
        qobject_cast<QLineEdit *>(dialogWidget(i < 2 ? i + 1 : 4))->setText(texts[i]);
}

// Runs handle on the setup dialog if the next pass of an event loop finds it
// shown modally; the dialog's own exec loop is such a pass.
inline void onDialog(QObject *context, std::function<void()> handle)
{
    QTimer::singleShot(0, context, [handle] {
        if (QApplication::activeModalWidget() == dia)
            handle();
    });
}

// Types fields into the dialog and presses "Setup", once it is shown.
inline void acceptDialog(QObject *context, const QStringList &fields)
{
    onDialog(context, [fields] {
        setDialogFields(fields);
        QTest::mouseClick(dialogWidget(5), Qt::LeftButton);
    });
}
