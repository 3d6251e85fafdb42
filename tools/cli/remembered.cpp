// SPDX-License-Identifier: GPL-3.0-or-later
#include "remembered.h"

#include "sighting.h"
#include "values.h"

#include <QHash>
#include <cstdio>

std::unique_ptr<Inventory> open_inventory(const CliCommand &command)
{
    auto inventory = std::make_unique<Inventory>(
        command.use_inventory ? command.database : QStringLiteral(":memory:"));
    if (!inventory->isOpen())
        return nullptr;
    return inventory;
}

bool remember_run(Inventory *inventory, const QDateTime &at, std::vector<DeviceRow> *rows,
                  RecordedRun *run)
{
    QList<Sighting> sightings;
    for (const DeviceRow &row : *rows)
        sightings.append(sighting_of(row.entry, row.interface.c_str()));
    RecordedRun recorded;
    if (!inventory->recordRun(sightings, at, &recorded)) {
        print_cli_error("the run could not be recorded in " + inventory->path().toStdString() +
                        ": " + inventory->lastError().toStdString());
        return false;
    }
    QHash<QString, const RememberedDevice *> by_mac;
    for (const RememberedDevice &device : std::as_const(recorded.devices))
        by_mac.insert(device.mac, &device);
    for (qsizetype i = 0; i < sightings.size(); ++i) {
        const RememberedDevice *device = by_mac.value(sightings[i].mac);
        DeviceRow &row = (*rows)[i];
        row.remembered = true;
        row.state = stateWord(device->state).toStdString();
        row.first_seen = iso_time(device->firstSeen);
        row.last_seen = iso_time(device->lastSeen);
    }
    if (run != nullptr)
        *run = std::move(recorded);
    return true;
}

int list_inventory(const CliCommand &command)
{
    const std::unique_ptr<Inventory> inventory = open_inventory(command);
    if (inventory == nullptr)
        return STATUS_FAILED;
    QList<RememberedDevice> devices = inventory->devices();
    if (!command.list_absent)
        devices.removeIf(
            [](const RememberedDevice &device) { return device.state == DeviceState::Absent; });
    const std::string out = format_remembered(devices, command.format);
    std::fwrite(out.data(), 1, out.size(), stdout);
    return std::fflush(stdout) == 0 ? STATUS_OK : STATUS_FAILED;
}

int set_note(const CliCommand &command)
{
    const std::unique_ptr<Inventory> inventory = open_inventory(command);
    if (inventory == nullptr)
        return STATUS_FAILED;
    const std::string mac = mac_text(command.mac);
    if (inventory->setNote(QString::fromStdString(mac), command.note))
        return STATUS_OK;
    if (!inventory->lastError().isEmpty())
        print_cli_error("the note could not be written to " + inventory->path().toStdString() +
                        ": " + inventory->lastError().toStdString());
    else
        print_cli_error("no device with MAC " + mac + " is remembered in " +
                        inventory->path().toStdString());
    return STATUS_FAILED;
}
