// SPDX-License-Identifier: GPL-3.0-or-later
#include "vendors.h"

#include <QFile>
#include <QHash>
#include <QList>

namespace
{

QString &registryFolder()
{
    static QString folder = QStringLiteral("/usr/share/ieee-data");
    return folder;
}

// The registered blocks, keyed by the prefix with its length in bits above
// it, so that one hash holds the 24-, 28- and 36-bit blocks.
using Registry = QHash<quint64, QString>;

quint64 blockKey(int bits, quint64 prefix)
{
    return (quint64(bits) << 48) | prefix;
}

// The next record of RFC 4180 text from *pos on: quoted fields may hold
// commas, doubled quotes and line breaks. Fields are cut out whole rather
// than built a character at a time: the registry has some 46,000 records.
QList<QByteArray> nextRecord(const QByteArray &text, qsizetype *pos)
{
    QList<QByteArray> fields;
    qsizetype i = *pos;
    const qsizetype size = text.size();
    while (true) {
        QByteArray field;
        if (i < size && text[i] == '"') {
            for (qsizetype start = ++i;;) {
                const qsizetype quote = text.indexOf('"', start);
                field += text.mid(start, quote < 0 ? -1 : quote - start);
                i = quote < 0 ? size : quote + 1;
                if (quote < 0 || i >= size || text[i] != '"')
                    break;
                field += '"';
                start = ++i;
            }
        }
        qsizetype end = i;
        while (end < size && text[end] != ',' && text[end] != '\n')
            ++end;
        field += text.mid(i, end - i);
        if (field.endsWith('\r'))
            field.chop(1);
        fields.append(field);
        if (end >= size || text[end] == '\n') {
            *pos = end + 1;
            return fields;
        }
        i = end + 1;
    }
}

// Assignment and organisation of each record: 6, 7 or 9 hexadecimal digits
// (MA-L, MA-M, MA-S and IAB). The header and malformed records are skipped.
void readRegistryFile(const QString &path, Registry *registry)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return;
    const QByteArray text = file.readAll();
    for (qsizetype pos = 0; pos < text.size();) {
        const QList<QByteArray> record = nextRecord(text, &pos);
        if (record.size() < 3)
            continue;
        const QByteArray &assignment = record[1];
        bool hex = false;
        const quint64 prefix = assignment.toULongLong(&hex, 16);
        const int bits = static_cast<int>(assignment.size()) * 4;
        if (hex && (bits == 24 || bits == 28 || bits == 36))
            registry->insert(blockKey(bits, prefix), QString::fromUtf8(record[2]).trimmed());
    }
}

const Registry &registry()
{
    static const Registry blocks = [] {
        Registry read;
        for (const char *name : {"oui.csv", "mam.csv", "oui36.csv", "iab.csv"})
            readRegistryFile(registryFolder() + QLatin1Char('/') + QLatin1String(name), &read);
        return read;
    }();
    return blocks;
}

} // namespace

QString vendorForMac(const ether_addr &mac)
{
    if (mac.ether_addr_octet[0] & 0x02)
        return QStringLiteral("locally administered");
    quint64 value = 0;
    for (uint8_t octet : mac.ether_addr_octet)
        value = (value << 8) | octet;
    const Registry &blocks = registry();
    for (int bits : {36, 28, 24}) {
        const auto it = blocks.constFind(blockKey(bits, value >> (48 - bits)));
        if (it != blocks.cend())
            return *it;
    }
    return {};
}

QString vendorForMac(const QString &mac)
{
    ether_addr parsed{};
    if (ether_aton_r(mac.toLatin1().constData(), &parsed) == nullptr)
        return {};
    return vendorForMac(parsed);
}

void setVendorRegistryFolder(const QString &folder)
{
    registryFolder() = folder;
}
