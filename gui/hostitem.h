// One row of the host list: a device's five texts, plus the interface it was
// found on and the other devices that answered for the same address.
#pragma once

#include "discover_run.h"

#include <QStringList>
#include <QTreeWidgetItem>

class HostItem : public QTreeWidgetItem
{
  public:
    HostItem(QTreeWidget *view, const DiscoverEntry &entry, const DiscoverInterface &where);

    const ether_addr &mac() const { return mac_; }
    const in_addr &local() const { return where.addr; }
    // Another device answered for this row's address; a MAC seen before
    // counts once.
    void addConflict(const ether_addr &other);
    // The five texts, tab-separated.
    QString rowText() const;

    QVariant data(int column, int role) const override;
    bool operator<(const QTreeWidgetItem &other) const override;

  private:
    QString toolTip() const;

    ether_addr mac_;
    in_addr address;
    in_addr netmask;
    DiscoverInterface where;
    QStringList conflicts;
};
