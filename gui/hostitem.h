// SPDX-License-Identifier: GPL-3.0-or-later
// One row of the host list: a device's five texts, plus the interface it was
// found on, the address its reply came from, and the other devices that
// answered for the same address or with the same MAC.
#pragma once

#include "discover_run.h"

#include <QCoreApplication>
#include <QStringList>
#include <QTreeWidgetItem>

class HostItem : public QTreeWidgetItem
{
    Q_DECLARE_TR_FUNCTIONS(HostItem)

  public:
    HostItem(QTreeWidget *view, const DiscoveredDevice &device);

    const ether_addr &mac() const { return mac_; }
    const in_addr &local() const { return where.addr; }
    const in_addr &source() const { return source_; }
    // Another device answered for this row's address; a MAC seen before
    // counts once.
    void addConflict(const ether_addr &other);
    // Another device, at the address other, answered with this row's MAC.
    void addClone(const in_addr &other);
    // The five texts, tab-separated.
    QString rowText() const;

    QVariant data(int column, int role) const override;
    bool operator<(const QTreeWidgetItem &other) const override;

  private:
    void addMark(QStringList *marks, const QString &text);
    QString toolTip() const;

    ether_addr mac_;
    in_addr address;
    in_addr netmask;
    DiscoverInterface where;
    in_addr source_;
    QStringList conflicts;
    QStringList clones;
};
