// SPDX-License-Identifier: GPL-3.0-or-later
#include "site_import.h"

#include "remembered.h"
#include "sighting.h"
#include "values.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cstdio>

namespace
{

struct ImportedRun {
    QList<Sighting> sightings;
    QDateTime at;
};

// A device's text as discover --json writes it: bytes as Latin-1
// characters, no longer than the reply's field.
bool device_text(const QString &text)
{
    if (text.size() > TEXT_FIELD_LEN)
        return false;
    for (QChar c : text)
        if (c.unicode() > 0xff)
            return false;
    return true;
}

// The string member key of device, or why it will not do.
std::string member(const QJsonObject &device, const char *key, QString *out)
{
    const QJsonValue value = device.value(QLatin1String(key));
    if (!value.isString())
        return std::string("no ") + key + " text";
    *out = value.toString();
    return {};
}

// Why the device will not do, or empty after filling in sighting.
std::string read_device(const QJsonValue &value, Sighting *sighting, QDateTime *seen)
{
    if (!value.isObject())
        return "not an object";
    const QJsonObject device = value.toObject();
    const std::pair<const char *, QString *> texts[] = {
        {"mac", &sighting->mac},           {"ip", &sighting->address},
        {"netmask", &sighting->netmask},   {"hostname", &sighting->hostname},
        {"firmware", &sighting->firmware}, {"interface", &sighting->interface}};
    for (const auto &[key, text] : texts)
        if (std::string problem = member(device, key, text); !problem.empty())
            return problem;
    ether_addr mac{};
    if (!parse_mac(sighting->mac.toStdString(), &mac))
        return "bad mac '" + sighting->mac.toStdString() + "'";
    sighting->mac = mac_key(mac);
    in_addr address{};
    for (const auto &[key, text] : {texts[1], texts[2]})
        if (!parse_ipv4(text->toStdString(), &address))
            return std::string("bad ") + key + " '" + text->toStdString() + "'";
    if (!device_text(sighting->hostname) || !device_text(sighting->firmware))
        return "a hostname or firmware that no device sends";
    // A run without the inventory (--no-inventory) writes no time.
    const QJsonValue lastSeen = device.value(QLatin1String("last_seen"));
    if (lastSeen.isNull() || lastSeen.isUndefined())
        return {};
    *seen = QDateTime::fromString(lastSeen.toString(), Qt::ISODate);
    if (!seen->isValid())
        return "bad last_seen";
    return {};
}

// The whole file, or false after its line.
bool read_file(const std::string &path, ImportedRun *out)
{
    const std::string where = "import '" + path + "': ";
    QFile file(QFile::decodeName(path.c_str()));
    if (!file.open(QIODevice::ReadOnly)) {
        print_cli_error(where + file.errorString().toStdString() + "; nothing imported");
        return false;
    }
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &error);
    if (document.isNull()) {
        print_cli_error(where + "not JSON: " + error.errorString().toStdString() + " at byte " +
                        std::to_string(error.offset) + "; nothing imported");
        return false;
    }
    if (!document.isArray()) {
        print_cli_error(where +
                        "not a JSON array of devices as discover --json prints; nothing imported");
        return false;
    }
    const QJsonArray devices = document.array();
    for (qsizetype i = 0; i < devices.size(); ++i) {
        Sighting sighting;
        QDateTime seen;
        const std::string problem = read_device(devices[i], &sighting, &seen);
        if (!problem.empty()) {
            print_cli_error(where + "device " + std::to_string(i + 1) + ": " + problem +
                            "; nothing imported");
            return false;
        }
        out->sightings.append(sighting);
        // An invalid time is earlier than every valid one.
        if (seen > out->at)
            out->at = seen;
    }
    // Without times in the file, it was written when its run ended.
    if (!out->at.isValid())
        out->at = QFileInfo(file).lastModified();
    return true;
}

} // namespace

int import_site(const CliCommand &command)
{
    ImportedRun run;
    if (!read_file(command.import_path, &run))
        return STATUS_USAGE;
    const std::unique_ptr<Inventory> inventory = open_inventory(command);
    if (inventory == nullptr)
        return STATUS_FAILED;
    RecordedRun recorded;
    if (!inventory->recordRun(run.sightings, run.at, &recorded, command.site)) {
        print_cli_error("the import could not be recorded in " + inventory->path().toStdString() +
                        ": " + inventory->lastError().toStdString());
        return STATUS_FAILED;
    }
    // Of the site's devices: found, then new, changed and absent.
    int counts[4] = {};
    for (const RememberedDevice &device : std::as_const(recorded.devices)) {
        if (device.site != command.site)
            continue;
        counts[0] += device.state != DeviceState::Absent;
        counts[1] += device.state == DeviceState::New;
        counts[2] += device.state == DeviceState::Changed;
        counts[3] += device.state == DeviceState::Absent;
    }
    std::printf("site %s: %d found (%d new, %d changed), %d absent\n",
                command.site.toUtf8().constData(), counts[0], counts[1], counts[2], counts[3]);
    return std::fflush(stdout) == 0 ? STATUS_OK : STATUS_FAILED;
}
