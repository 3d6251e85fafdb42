// SPDX-License-Identifier: GPL-3.0-or-later
// What devscout remembers of the devices it has seen: one SQLite file that
// the window and the command line share, keyed by MAC, so that a device's
// note and history follow it whatever address it takes.
#pragma once

#include <QDateTime>
#include <QList>
#include <QSet>
#include <QString>
#include <netinet/in.h>
#include <vector>

// A device as one discovery run saw it: the texts as the window shows them
// (device bytes read as Latin-1), the MAC in its padded form
// ("02:00:7f:01:00:01"), the interface empty for the wildcard address.
struct Sighting {
    QString mac;
    QString address;
    QString netmask;
    QString hostname;
    QString firmware;
    QString interface;
};

// What the last run made of a remembered device.
enum class DeviceState {
    Present, // answered, as it was before
    New,     // answered for the first time
    Changed, // answered with another address, netmask, host name or firmware
    Absent,  // did not answer
};
// "present", "new", "changed", "absent": the words stored and printed.
QString stateWord(DeviceState state);

// One field a run found changed: "address", "netmask", "hostname" or
// "firmware", with the old and the new text.
struct FieldChange {
    QString field;
    QString from;
    QString to;
};

struct RememberedDevice {
    QString mac;
    QDateTime firstSeen; // UTC
    QDateTime lastSeen;  // UTC
    QString address;
    QString netmask;
    QString hostname;
    QString firmware;
    QString interface;
    QString name; // the user's
    QString note; // the user's
    QString site; // empty when this host's own runs found it
    DeviceState state = DeviceState::New;
    int missedRuns = 0;         // runs in a row it did not answer
    QList<FieldChange> changes; // what the last run changed
};

// One line of a device's history. kind is "appeared" (first seen, or back
// after it was gone), "address changed", "netmask changed", "hostname
// changed", "firmware changed", "site changed", or "gone" (missed two runs
// in a row).
struct InventoryEvent {
    QDateTime at; // UTC
    QString mac;
    QString kind;
    QString from;
    QString to;
};

// What one recorded run did: the run's devices in the order they answered,
// then every other remembered device (the run's site's absent now); and the
// events it added.
struct RecordedRun {
    QList<RememberedDevice> devices;
    QList<InventoryEvent> events;
};

// One connection to the file, for the thread that creates it. Several
// objects, threads and processes may use one file at once: writes wait for
// each other (WAL, busy time-out) instead of failing.
class Inventory
{
  public:
    // Opens path, or defaultPath() when empty, creating it and its folder and
    // bringing an older schema up to date (":memory:" keeps nothing on disk).
    // A file that cannot be opened or is corrupt is moved aside under a
    // time-stamped name (never deleted) and a fresh one started; errorLine()
    // then says so, as one line also written to stderr.
    explicit Inventory(const QString &path = {});
    ~Inventory();
    Inventory(const Inventory &) = delete;
    Inventory &operator=(const Inventory &) = delete;

    bool isOpen() const;
    QString path() const;
    // The line said while opening, or empty.
    QString errorLine() const;
    // <GenericDataLocation>/devscout/inventory.sqlite, e.g.
    // ~/.local/share/devscout/inventory.sqlite: one file for the window and
    // the command line, whose application names differ.
    static QString defaultPath();

    // Records one run at time at in one transaction: a run interrupted at any
    // point leaves the file as before it. Sightings that share a MAC count
    // as one device (the one at its remembered address, or else the first).
    // site is where the run was made: empty for this host's own, else the
    // name an imported run goes under. A device belongs to the site of the
    // run that found it last, and only that site's runs make it absent.
    // False, with the file unchanged, when it cannot be written.
    bool recordRun(const QList<Sighting> &sightings, const QDateTime &at, RecordedRun *out,
                   const QString &site = {});
    // Every remembered device as the last run left it, in MAC order.
    QList<RememberedDevice> devices() const;
    // The last addresses of this host's remembered devices whose MACs are not
    // in heard, each once and without 0.0.0.0: where to ask the devices a run
    // did not hear directly. Another site's addresses mean nothing here.
    std::vector<in_addr> absentAddresses(const QSet<QString> &heard) const;
    // Sets a device's note or name; false when the MAC is not remembered.
    bool setNote(const QString &mac, const QString &note);
    bool setName(const QString &mac, const QString &name);
    // A device's history (every device's when mac is empty), oldest first.
    QList<InventoryEvent> events(const QString &mac = {}) const;
    // Why the last recordRun, setNote or setName could not write (SQLite's
    // words, e.g. "database is locked"); empty after a success, and after a
    // note or name refused because the MAC is not remembered.
    QString lastError() const;

  private:
    bool setText(const char *column, const QString &mac, const QString &text);

    QString connectionName;
    QString filePath;
    QString openError;
    QString writeError;
};
