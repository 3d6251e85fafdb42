// SPDX-License-Identifier: GPL-3.0-or-later
#include "hostitem.h"
#include "qhostview.h"
#include "text.h"

#include <QStyle>
#include <arpa/inet.h>
#include <cstring>

namespace
{

QString mac_text(const ether_addr &mac)
{
    char text[MAC_TEXT_SIZE];
    return QString::fromLatin1(format_mac(mac, MacForm::Short, text));
}

QString address_text(const in_addr &address)
{
    char text[INET_ADDRSTRLEN];
    return QString::fromLatin1(format_ipv4(address, text));
}

// A text field of the record as Latin-1, stopping at the field's end even
// when the terminator is missing.
template <size_t N> QString latin1_field(const char (&field)[N])
{
    return QString::fromLatin1(field, static_cast<qsizetype>(strnlen(field, N)));
}

} // namespace

HostItem::HostItem(QTreeWidget *view, const DiscoveredDevice &device)
    : QTreeWidgetItem(view, {address_text(device.entry.ipaddr), address_text(device.entry.netmask),
                             mac_text(device.entry.mac), latin1_field(device.entry.hostname),
                             latin1_field(device.entry.firmware)}),
      mac_(device.entry.mac), address(device.entry.ipaddr), netmask(device.entry.netmask),
      where(device.where), source_(device.source)
{
}

void HostItem::addConflict(const ether_addr &other)
{
    if (std::memcmp(&other, &mac_, sizeof(mac_)) != 0)
        addMark(&conflicts, mac_text(other));
}

void HostItem::addClone(const in_addr &other)
{
    if (other.s_addr != source_.s_addr)
        addMark(&clones, address_text(other));
}

void HostItem::addMark(QStringList *marks, const QString &text)
{
    if (marks->contains(text))
        return;
    if (conflicts.isEmpty() && clones.isEmpty())
        setIcon(QHostView::Ip, treeWidget()->style()->standardIcon(QStyle::SP_MessageBoxWarning));
    marks->append(text);
    emitDataChanged();
}

QString HostItem::rowText() const
{
    QStringList texts;
    for (int c = 0; c < columnCount(); ++c)
        texts << text(c);
    return texts.join('\t');
}

// Built when asked for, so thousands of rows carry no tool tip text.
QVariant HostItem::data(int column, int role) const
{
    if (role == Qt::ToolTipRole)
        return toolTip();
    return QTreeWidgetItem::data(column, role);
}

QString HostItem::toolTip() const
{
    QString tip =
        is_wildcard(where)
            ? tr("Found through the default interface (any address)")
            : tr("Found on %1 (%2)").arg(QString::fromLatin1(where.name), address_text(where.addr));
    if (!conflicts.isEmpty() && address.s_addr == 0)
        tip += '\n' + tr("Also without an address: %1").arg(conflicts.join(", "));
    else if (!conflicts.isEmpty())
        tip += '\n' + tr("Address conflict: also answered by %1").arg(conflicts.join(", "));
    if (!clones.isEmpty())
        tip += '\n' + tr("MAC conflict: the same MAC also answered from %1").arg(clones.join(", "));
    return tip;
}

// Addresses and netmasks sort as numbers, the rest as text.
bool HostItem::operator<(const QTreeWidgetItem &other) const
{
    const int column = treeWidget()->sortColumn();
    const auto *host = dynamic_cast<const HostItem *>(&other);
    if (host == nullptr || (column != QHostView::Ip && column != QHostView::Netmask))
        return QTreeWidgetItem::operator<(other);
    const in_addr mine = column == QHostView::Ip ? address : netmask;
    const in_addr theirs = column == QHostView::Ip ? host->address : host->netmask;
    return ntohl(mine.s_addr) < ntohl(theirs.s_addr);
}
