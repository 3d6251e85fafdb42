// SPDX-License-Identifier: GPL-3.0-or-later
#include "hostitem.h"
#include "qhostview.h"
#include "sighting.h"
#include "text.h"
#include "vendors.h"

#include <QApplication>
#include <QLocale>
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

template <size_t N> void set_latin1_field(char (&field)[N], const QString &text)
{
    const QByteArray bytes = text.toLatin1();
    std::memcpy(field, bytes.constData(), std::min<size_t>(N, bytes.size()));
}

// The reply a remembered device would give, from the inventory's texts; the
// address it answers from is the one it reported.
DiscoveredDevice remembered_reply(const RememberedDevice &device)
{
    DiscoveredDevice reply{};
    ether_aton_r(device.mac.toLatin1().constData(), &reply.entry.mac);
    inet_pton(AF_INET, device.address.toLatin1().constData(), &reply.entry.ipaddr);
    inet_pton(AF_INET, device.netmask.toLatin1().constData(), &reply.entry.netmask);
    set_latin1_field(reply.entry.hostname, device.hostname);
    set_latin1_field(reply.entry.firmware, device.firmware);
    const QByteArray name = device.interface.toLatin1();
    std::strncpy(reply.where.name, name.constData(), sizeof(reply.where.name) - 1);
    reply.source = reply.entry.ipaddr;
    return reply;
}

QStringList device_texts(const DiscoverEntry &entry)
{
    return {address_text(entry.ipaddr), address_text(entry.netmask), mac_text(entry.mac),
            latin1_field(entry.hostname), latin1_field(entry.firmware)};
}

QString field_name(const QString &field)
{
    if (field == QLatin1String("address"))
        return HostItem::tr("address");
    if (field == QLatin1String("netmask"))
        return HostItem::tr("netmask");
    if (field == QLatin1String("hostname"))
        return HostItem::tr("host name");
    if (field == QLatin1String("firmware"))
        return HostItem::tr("firmware");
    if (field == QLatin1String("site"))
        return HostItem::tr("site");
    return field;
}

QString exact_time(const QDateTime &when)
{
    return QLocale().toString(when.toLocalTime(), QLocale::LongFormat);
}

} // namespace

// No translation is loaded for English, so the plural is chosen here.
QString last_seen_text(const QDateTime &when, const QDateTime &now)
{
    const qint64 minutes = when.secsTo(now) / 60;
    const qint64 hours = minutes / 60;
    const qint64 days = hours / 24;
    if (minutes < 1)
        return HostItem::tr("last seen just now");
    if (minutes == 1)
        return HostItem::tr("last seen a minute ago");
    if (hours < 1)
        return HostItem::tr("last seen %1 minutes ago").arg(minutes);
    if (hours == 1)
        return HostItem::tr("last seen an hour ago");
    if (days < 2)
        return HostItem::tr("last seen %1 hours ago").arg(hours);
    return HostItem::tr("last seen %1 days ago").arg(days);
}

HostItem::HostItem(const DiscoveredDevice &device, const QString &vendor)
    : QTreeWidgetItem(device_texts(device.entry) << vendor), mac_(device.entry.mac),
      address_(device.entry.ipaddr), netmask(device.entry.netmask), where(device.where),
      source_(device.source), target_(device.target), firstSeen_(QDateTime::currentDateTimeUtc()),
      lastSeen_(firstSeen_)
{
    refreshSearchText();
}

HostItem::HostItem(const RememberedDevice &device)
    : HostItem(remembered_reply(device), vendorForMac(device.mac))
{
    remember(device);
}

QString HostItem::macKey() const
{
    return mac_key(mac_);
}

QString HostItem::interfaceName() const
{
    return QString::fromLatin1(where.name);
}

DiscoveredDevice HostItem::device() const
{
    DiscoveredDevice device{};
    device.entry.mac = mac_;
    device.entry.ipaddr = address_;
    device.entry.netmask = netmask;
    set_latin1_field(device.entry.hostname, text(QHostView::Hostname));
    set_latin1_field(device.entry.firmware, text(QHostView::Firmware));
    device.where = where;
    device.source = source_;
    device.target = target_;
    return device;
}

void HostItem::update(const DiscoveredDevice &device)
{
    const QStringList texts = device_texts(device.entry);
    for (int c = 0; c < texts.size(); ++c)
        if (text(c) != texts[c])
            setText(c, texts[c]);
    address_ = device.entry.ipaddr;
    netmask = device.entry.netmask;
    where = device.where;
    source_ = device.source;
    target_ = device.target;
    lastSeen_ = QDateTime::currentDateTimeUtc();
    if (state_ == DeviceState::Absent) {
        state_ = DeviceState::Present;
        refreshSearchText();
        emitDataChanged();
    }
}

void HostItem::seenIn(int newRun)
{
    run = newRun;
}

void HostItem::dropStaleMarks()
{
    const bool wasMarked = marked();
    conflicts.removeIf([this](const auto &mark) { return mark.run != run; });
    clones.removeIf([this](const auto &mark) { return mark.run != run; });
    if (marked() != wasMarked)
        emitDataChanged();
}

void HostItem::addConflict(const ether_addr &other)
{
    if (same_mac(other, mac_))
        return;
    for (auto &mark : conflicts)
        if (same_mac(mark.value, other)) {
            mark.run = run;
            return;
        }
    conflicts.append({other, run});
    emitDataChanged();
}

void HostItem::addClone(const in_addr &other)
{
    if (other.s_addr == source_.s_addr)
        return;
    for (auto &mark : clones)
        if (mark.value.s_addr == other.s_addr) {
            mark.run = run;
            return;
        }
    clones.append({other, run});
    emitDataChanged();
}

QList<ether_addr> HostItem::conflictMacs() const
{
    QList<ether_addr> macs;
    for (const auto &mark : conflicts)
        macs.append(mark.value);
    return macs;
}

// Only a changed note goes through the model: thousands of rows take a
// run's outcome at once, and the list repaints once for all of them.
void HostItem::remember(const RememberedDevice &device)
{
    const bool stateChanged = device.state != state_;
    state_ = device.state;
    changes = device.changes;
    firstSeen_ = device.firstSeen;
    lastSeen_ = device.lastSeen;
    name_ = device.name;
    setNote(device.note);
    if (text(QHostView::Site) != device.site)
        setText(QHostView::Site, device.site);
    if (stateChanged)
        refreshSearchText();
}

void HostItem::setAbsent()
{
    conflicts.clear();
    clones.clear();
    if (state_ == DeviceState::Absent)
        return;
    state_ = DeviceState::Absent;
    refreshSearchText();
}

void HostItem::setNote(const QString &note)
{
    note_ = note;
    if (text(QHostView::Note) != note)
        setText(QHostView::Note, note);
}

bool HostItem::noteEdited() const
{
    return text(QHostView::Note) != note_;
}

QString HostItem::rowText() const
{
    QStringList texts;
    for (int c = 0; c < QHostView::Progress; ++c)
        texts << text(c);
    return texts.join('\t');
}

bool HostItem::matches(const QString &foldedNeedle) const
{
    return searchText.contains(foldedNeedle);
}

// Made whenever a text or the state changes, so that a keystroke in the
// filter over thousands of rows compares plain strings; the time since an
// absent device was last seen is the one at that change.
void HostItem::refreshSearchText()
{
    searchText = (rowText() + '\t' + text(QHostView::Site)).toCaseFolded();
}

void HostItem::setShown(bool show)
{
    if (show == shown)
        return;
    shown = show;
    setHidden(!show);
}

void HostItem::setData(int column, int role, const QVariant &value)
{
    QTreeWidgetItem::setData(column, role, value);
    if (role == Qt::DisplayRole || role == Qt::EditRole)
        refreshSearchText();
}

QString HostItem::stateText() const
{
    switch (state_) {
    case DeviceState::New:
        return tr("new");
    case DeviceState::Changed:
        return tr("changed");
    case DeviceState::Absent:
        return last_seen_text(lastSeen_, QDateTime::currentDateTimeUtc());
    case DeviceState::Present:
        break;
    }
    return QString();
}

// Built when asked for, so thousands of rows carry no tool tip or state
// text, and the time since an absent device was last seen stays current.
QVariant HostItem::data(int column, int role) const
{
    switch (role) {
    case Qt::ToolTipRole:
        return toolTipText();
    case Qt::DisplayRole:
        if (column == QHostView::State)
            return stateText();
        break;
    case Qt::ForegroundRole:
        if (state_ == DeviceState::Absent)
            return QApplication::palette().brush(QPalette::Disabled, QPalette::Text);
        break;
    case Qt::DecorationRole:
        if (column == QHostView::Ip && marked())
            return QApplication::style()->standardIcon(QStyle::SP_MessageBoxWarning);
        break;
    }
    return QTreeWidgetItem::data(column, role);
}

QString HostItem::toolTipText() const
{
    QString tip;
    if (is_wildcard(where))
        tip = tr("Found through the default interface (any address)");
    else if (where.addr.s_addr == 0)
        tip = tr("Found on %1").arg(interfaceName());
    else
        tip = tr("Found on %1 (%2)").arg(interfaceName(), address_text(where.addr));
    if (target_.s_addr != INADDR_ANY)
        tip += '\n' + tr("Found through %1").arg(address_text(target_));
    QStringList others;
    for (const auto &mark : conflicts)
        others << mac_text(mark.value);
    if (!others.isEmpty() && address_.s_addr == 0)
        tip += '\n' + tr("Also without an address: %1").arg(others.join(", "));
    else if (!others.isEmpty())
        tip += '\n' + tr("Address conflict: also answered by %1").arg(others.join(", "));
    QStringList addresses;
    for (const auto &mark : clones)
        addresses << address_text(mark.value);
    if (!addresses.isEmpty())
        tip +=
            '\n' + tr("MAC conflict: the same MAC also answered from %1").arg(addresses.join(", "));
    if (state_ == DeviceState::New)
        tip += '\n' + tr("New: first seen %1").arg(exact_time(firstSeen_));
    for (const FieldChange &change : changes)
        if (state_ == DeviceState::Changed)
            tip += '\n' +
                   tr("Changed %1: %2 → %3").arg(field_name(change.field), change.from, change.to);
    if (state_ == DeviceState::Absent)
        tip += '\n' + tr("Did not answer; last seen %1").arg(exact_time(lastSeen_));
    return tip;
}

// Addresses and netmasks sort as numbers, the rest as text.
bool HostItem::operator<(const QTreeWidgetItem &other) const
{
    const int column = treeWidget()->sortColumn();
    const auto *host = dynamic_cast<const HostItem *>(&other);
    if (host == nullptr || (column != QHostView::Ip && column != QHostView::Netmask))
        return QTreeWidgetItem::operator<(other);
    const in_addr mine = column == QHostView::Ip ? address_ : netmask;
    const in_addr theirs = column == QHostView::Ip ? host->address_ : host->netmask;
    return ntohl(mine.s_addr) < ntohl(theirs.s_addr);
}
