// SPDX-License-Identifier: GPL-3.0-or-later
// The host list: one row per device found by the last discovery run, and the
// worker thread that runs it.
#pragma once

#include "discover_run.h"
#include "setuprequest.h"

#include <QHash>
#include <QList>
#include <QThread>
#include <QTreeWidget>

class HostItem;
class InstallDialog;
class QHostView;

// One run per start: the setups and installs asked for meanwhile, then a
// discovery whose rows go to list; an interruption request ends it early, and
// whatever wait it is in within 100 ms. It touches no widget: the list learns
// what happens through queued calls and signals, which reach the GUI thread
// in the order they are made.
class HostUpdateThread : public QThread
{
    Q_OBJECT

  public:
    explicit HostUpdateThread(QHostView *list) : list(list) {}
    ~HostUpdateThread() override;
    // Only while the thread is not running; the run takes them.
    void setRequests(QList<SetupRequest> requests) { pending = std::move(requests); }

  signals:
    void listCleared();
    void statusMessage(const QString &line);

  protected:
    void run() override;

  private:
    QHostView *const list;
    QList<SetupRequest> pending;
};

class QHostView : public QTreeWidget
{
    Q_OBJECT

  public:
    enum Column { Ip, Netmask, Mac, Hostname, Firmware, ColumnCount };

    explicit QHostView(QWidget *parent = nullptr, const char *name = nullptr);

    // The dialog a double-click on a row opens; without one it opens none.
    void setSetupDialog(InstallDialog *dialog) { setupDialog = dialog; }
    // Appends a row for a device found through where (the wildcard address
    // when null) whose reply came from source (any address when null).
    void add_item(const DiscoverEntry *entry, const DiscoverInterface *where = nullptr,
                  const in_addr *source = nullptr);
    bool openurl(const QString &ip);
    // Empties the list before a run's first row.
    void purge_items();

  public slots:
    void refresh();
    // Ends the run in progress and drops the setups and runs queued behind it.
    void cancel();
    void clickedItem(QTreeWidgetItem *item, const QPoint &, int c);
    void doubleClickedItem(QTreeWidgetItem *item, const QPoint &, int c);

  signals:
    // A run has ended; rows is how many it listed. When no other run
    // follows, busyChanged(false) came just before.
    void refresh_done(int rows);
    // One line for the window's status line.
    void statusMessage(const QString &line);
    // A run has started, or the last one has ended.
    void busyChanged(bool busy);

  private:
    void startRun(const SetupRequest *request = nullptr);
    void startWorker();
    void runEnded();
    void widenFirmwareColumn(QTreeWidgetItem *item);
    void sortOnFirstClick(int column);
    void showRowMenu(const QPoint &position);

    InstallDialog *setupDialog = nullptr;
    HostUpdateThread updateThread{this};
    // Whether a run is in progress or about to start, whether another was
    // asked for meanwhile, and the setups it is to carry.
    bool running = false;
    bool restartPending = false;
    QList<SetupRequest> queuedRequests;
    // The rows listed under each address, and under each MAC, in this run.
    QMultiHash<quint32, HostItem *> rowsByAddress;
    QMultiHash<QByteArray, HostItem *> rowsByMac;
};

// Runs a discovery from local (from every broadcast interface when it is the
// wildcard address) on the calling thread, and queues a row on list for each
// device that answers; ends early once the calling thread is asked to stop.
// Returns 0 once the replies have been collected, -1 when no request went out.
int do_discover(QHostView *list, in_addr *local);
