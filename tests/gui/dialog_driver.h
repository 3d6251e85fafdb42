// Drives the setup dialog the way a user does, for tests that open it through
// the host list.
#pragma once

#include "installdialog.h"

#include <QApplication>
#include <QCheckBox>
#include <QLayout>
#include <QStringList>
#include <QTimer>
#include <functional>

// The dialog's widgets from the top: label, IP, netmask, DHCP, file, button.
inline QWidget *dialogWidget(int position)
{
    return dia->layout()->itemAt(position)->widget();
}

inline QLineEdit *dialogField(int position)
{
    return qobject_cast<QLineEdit *>(dialogWidget(position));
}

inline const QStringList prompts = {"Enter new IP", "Enter new netmask",
                                    "Enter file to be uploaded"};

// Sets the IP, netmask and file fields.
inline void setDialogFields(const QStringList &texts, bool dhcp = false)
{
    const int positions[] = {1, 2, 4};
    for (int i = 0; i < 3; ++i)
        dialogField(positions[i])->setText(texts[i]);
    qobject_cast<QCheckBox *>(dialogWidget(3))->setChecked(dhcp);
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
