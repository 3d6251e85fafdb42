// What the window tests share: rows for made-up devices, and driving the
// setup dialog the way a user does.
#pragma once

#include "installdialog.h"
#include "mainwindow.h"
#include "qhostview.h"

#include <QApplication>
#include <QCheckBox>
#include <QLayout>
#include <QTest>
#include <QTimer>
#include <arpa/inet.h>
#include <cstring>
#include <functional>
#include <netinet/ether.h>

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

// Lists a row for a device at ip, as a run that heard it from there would,
// and returns it.
inline QTreeWidgetItem *listDevice(const char *ip, const char *mac,
                                   const char *netmask = "255.255.255.0")
{
    const DiscoverEntry entry = device(ip, mac, netmask);
    view->add_item(&entry, nullptr, &entry.ipaddr);
    return view->topLevelItem(view->topLevelItemCount() - 1);
}

inline QStringList columnTexts(int column)
{
    QStringList texts;
    for (int row = 0; row < view->topLevelItemCount(); ++row)
        texts << view->topLevelItem(row)->text(column);
    return texts;
}

// The dialog's widgets from the top: label, IP, netmask, DHCP, file, button.
inline QWidget *dialogWidget(int position)
{
    return dia->layout()->itemAt(position)->widget();
}

inline const QStringList prompts = {"Enter new IP", "Enter new netmask",
                                    "Enter file to be uploaded"};

// Types texts into the IP, netmask and file fields, and sets the DHCP box.
inline void setDialogFields(const QStringList &texts, bool dhcp = false)
{
    for (int i = 0; i < 3; ++i)
        qobject_cast<QLineEdit *>(dialogWidget(i < 2 ? i + 1 : 4))->setText(texts[i]);
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
