// SPDX-License-Identifier: GPL-3.0-or-later
#include "export.h"
#include "hostitem.h"
#include "qhostview.h"
#include "sighting.h"

#include <QStringList>
#include <iterator>

namespace
{

// The one column order; without a row, the texts are empty.
Record fields(const HostItem *row)
{
    Record record = {
        {"ip", "IP", {}},
        {"netmask", "Netmask", {}},
        {"mac", "MAC", {}},
        {"hostname", "Hostname", {}},
        {"firmware", "Firmware", {}},
        {"interface", "Interface", {}},
        {"conflict", "Conflict", {}, FieldKind::List},
        {"vendor", "Vendor", {}, FieldKind::Text},
        {"state", "State", {}, FieldKind::Text},
        {"first_seen", "First seen", {}, FieldKind::Text},
        {"last_seen", "Last seen", {}, FieldKind::Text},
        {"name", "Name", {}, FieldKind::Text},
        {"note", "Note", {}, FieldKind::Text},
        {"site", "Site", {}, FieldKind::Text},
    };
    if (row == nullptr)
        return record;
    QStringList conflicts;
    for (const ether_addr &mac : row->conflictMacs())
        conflicts << mac_key(mac);
    const QString texts[] = {row->text(QHostView::Ip),
                             row->text(QHostView::Netmask),
                             row->macKey(),
                             row->text(QHostView::Hostname),
                             row->text(QHostView::Firmware),
                             row->interfaceName(),
                             conflicts.join(' '),
                             row->text(QHostView::Vendor),
                             stateWord(row->state()),
                             QString::fromStdString(iso_time(row->firstSeen())),
                             QString::fromStdString(iso_time(row->lastSeen())),
                             row->name(),
                             row->note(),
                             row->text(QHostView::Site)};
    static_assert(std::size(texts) == 14);
    // The list shows a device's bytes as the Latin-1 characters they are.
    for (size_t f = 0; f < record.size(); ++f)
        record[f].text =
            (record[f].kind == FieldKind::Text ? texts[f].toUtf8() : texts[f].toLatin1())
                .toStdString();
    return record;
}

} // namespace

QByteArray export_rows(const QList<const HostItem *> &rows, OutputFormat format)
{
    std::vector<Record> records;
    for (const HostItem *row : rows)
        records.push_back(fields(row));
    return QByteArray::fromStdString(format_records(fields(nullptr), records, format));
}
