// SPDX-License-Identifier: GPL-3.0-or-later
// The thread that runs the window's setups and discoveries, and what it hands
// the host list.
#pragma once

#include "discover_run.h"
#include "discoveryreach.h"
#include "inventory.h"
#include "setuprequest.h"

#include <QList>
#include <QString>
#include <QThread>

class QHostView;

// A device a run found, with the organisation its MAC is registered to
// (looked up on the worker, which reads the registry the first time).
struct FoundDevice {
    DiscoveredDevice device;
    QString vendor;
};

// One run per start: the setups and installs asked for meanwhile, then a
// discovery whose devices go to list, then, with an inventory, the run
// recorded in it and what it made of each device handed to list too. An
// interruption request ends it early, and whatever wait it is in within
// 100 ms; an interrupted discovery is not recorded. It touches no widget:
// the list learns what happens through queued calls and signals, which
// reach the GUI thread in the order they are made.
class HostUpdateThread : public QThread
{
    Q_OBJECT

  public:
    explicit HostUpdateThread(QHostView *list) : list(list) {}
    ~HostUpdateThread() override;
    // Only while the thread is not running; the run takes them.
    void setRequests(QList<SetupRequest> requests) { pending = std::move(requests); }
    // The inventory file runs are recorded in (none when empty). Only while
    // the thread is not running: each run opens a connection of its own.
    void setDatabase(const QString &path) { database = path; }
    // Only while the thread is not running.
    void setReach(const DiscoveryReach &chosen) { reach = chosen; }

  signals:
    void listCleared();
    void statusMessage(const QString &line);

  protected:
    void run() override;

  private:
    void record(Inventory *inventory, const QList<Sighting> &seen);

    QHostView *const list;
    QList<SetupRequest> pending;
    QString database;
    DiscoveryReach reach;
};

// Runs a discovery from every broadcast interface, and reach's targets, on the
// calling thread (asking inventory's devices it did not hear when given), and
// queues the devices that answer on list, a batch at a time, at most one
// batch per 10 ms; appends each to seen when given. Ends early once the
// calling thread is asked to stop. Returns 0 once the replies have been
// collected, -1 when no request went out.
int do_discover(QHostView *list, const DiscoveryReach &reach, const Inventory *inventory,
                QList<Sighting> *seen);
