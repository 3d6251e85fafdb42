// SPDX-License-Identifier: GPL-3.0-or-later
// One row of the host list: a device's texts, plus the interface it was
// found on, the address its reply came from, the other devices that answered
// for the same address or with the same MAC, and what the inventory knows
// of it.
#pragma once

#include "discover_run.h"
#include "inventory.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QList>
#include <QStringList>
#include <QTreeWidgetItem>

class HostItem : public QTreeWidgetItem
{
    Q_DECLARE_TR_FUNCTIONS(HostItem)

  public:
    // A row for a device a run found, not yet in a list; vendor is the
    // organisation its MAC is registered to.
    HostItem(const DiscoveredDevice &device, const QString &vendor);
    // A row for a remembered device as the inventory last saw it.
    explicit HostItem(const RememberedDevice &device);

    const ether_addr &mac() const { return mac_; }
    // The MAC as the inventory keys it.
    QString macKey() const;
    const in_addr &address() const { return address_; }
    const in_addr &local() const { return where.addr; }
    const in_addr &source() const { return source_; }
    // The run's target that reached the device, 0.0.0.0 for the broadcast.
    const in_addr &target() const { return target_; }
    // Empty for the wildcard address.
    QString interfaceName() const;
    // The device as the run that listed it heard it, for the exchanges.
    DiscoveredDevice device() const;

    // Takes the texts of another reply from the same device, in place.
    void update(const DiscoveredDevice &device);
    // The row answered run; the marks it had before and that run does not
    // confirm go when dropStaleMarks() is called at the run's end.
    void seenIn(int run);
    int lastRun() const { return run; }
    void dropStaleMarks();
    // Another device answered for this row's address in the row's run; a MAC
    // seen before counts once.
    void addConflict(const ether_addr &other);
    // Another device, at the address other, answered with this row's MAC.
    void addClone(const in_addr &other);
    // The other MACs at this row's address.
    QList<ether_addr> conflictMacs() const;

    // What the inventory says of the device: state, times, name and note.
    void remember(const RememberedDevice &device);
    // The device did not answer the last run: it shares nothing with the
    // devices that did.
    void setAbsent();
    DeviceState state() const { return state_; }
    QDateTime firstSeen() const { return firstSeen_; }
    QDateTime lastSeen() const { return lastSeen_; }
    QString name() const { return name_; }
    QString note() const { return note_; }
    // Shows note as the device's note, without it counting as an edit.
    void setNote(const QString &note);
    // Whether the Note column holds an edit not yet stored.
    bool noteEdited() const;

    // Every column's text up to the progress, tab-separated.
    QString rowText() const;
    // Whether any column's text holds needle, which is case-folded.
    bool matches(const QString &foldedNeedle) const;
    // Hides or shows the row in its list, asking the list only when that
    // changes.
    void setShown(bool shown);

    QVariant data(int column, int role) const override;
    void setData(int column, int role, const QVariant &value) override;
    bool operator<(const QTreeWidgetItem &other) const override;

  private:
    template <typename T> struct Mark {
        T value;
        int run;
    };
    bool marked() const { return !conflicts.isEmpty() || !clones.isEmpty(); }
    QString stateText() const;
    void refreshSearchText();
    QString toolTipText() const;

    ether_addr mac_;
    in_addr address_;
    in_addr netmask;
    DiscoverInterface where;
    in_addr source_;
    in_addr target_;
    int run = 0;
    QList<Mark<ether_addr>> conflicts;
    QList<Mark<in_addr>> clones;
    DeviceState state_ = DeviceState::Present;
    QList<FieldChange> changes;
    QDateTime firstSeen_;
    QDateTime lastSeen_;
    QString name_;
    QString note_;
    // Every column's text, case-folded.
    QString searchText;
    bool shown = true;
};

// "last seen 5 minutes ago" for a time before now.
QString last_seen_text(const QDateTime &when, const QDateTime &now);
