// SPDX-License-Identifier: GPL-3.0-or-later
// What work on many devices learns from the host list instead of from a
// discovery of its own: where each MAC answered the list's last run, and
// which addresses the listed and remembered devices hold.
#pragma once

#include "address_plan.h"
#include "locate.h"

#include <QList>
#include <vector>

class HostItem;
class QHostView;

// The MAC among the rows that answered; absent rows do not count.
LocateResult locate_in_list(const QHostView *list, const ether_addr &mac);
// The address of every row, absent ones too, by MAC.
std::vector<HeldAddress> held_in_list(const QHostView *list);

// The distinct MACs of rows, in the rows' order, each with its rows.
struct RowsOfMac {
    ether_addr mac;
    QList<HostItem *> rows;
};
QList<RowsOfMac> group_by_mac(const QList<HostItem *> &rows);
