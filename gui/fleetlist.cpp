// SPDX-License-Identifier: GPL-3.0-or-later
#include "fleetlist.h"
#include "hostitem.h"
#include "qhostview.h"
#include "sighting.h"

#include <QHash>

LocateResult locate_in_list(const QHostView *list, const ether_addr &mac)
{
    LocateResult result{mac, LOCATE_MISSING, {}};
    for (const HostItem *row : list->rowsOf(mac_key(mac)))
        if (row->state() != DeviceState::Absent)
            locate_add_match(&result, row->device());
    return result;
}

std::vector<HeldAddress> held_in_list(const QHostView *list)
{
    std::vector<HeldAddress> held;
    for (int i = 0; i < list->topLevelItemCount(); ++i) {
        const auto *row = static_cast<const HostItem *>(list->topLevelItem(i));
        if (row->address().s_addr != INADDR_ANY)
            held.push_back({row->mac(), row->address()});
    }
    return held;
}

QList<RowsOfMac> group_by_mac(const QList<HostItem *> &rows)
{
    QList<RowsOfMac> groups;
    QHash<QString, qsizetype> groupOf;
    for (HostItem *row : rows) {
        const qsizetype group = groupOf.value(row->macKey(), -1);
        if (group >= 0) {
            groups[group].rows.append(row);
            continue;
        }
        groupOf.insert(row->macKey(), groups.size());
        groups.append({row->mac(), {row}});
    }
    return groups;
}
