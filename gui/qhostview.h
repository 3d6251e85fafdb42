// The host list: one row per device found by the last discovery run, and the
// worker thread that runs it.
#pragma once

#include "discover.h"

#include <QMetaType>
#include <QMutex>
#include <QThread>
#include <QTreeWidget>

class QPushButton;
class QHostView;

Q_DECLARE_METATYPE(DiscoverEntry)

// One discovery run per start. It touches no widget: the list learns what
// happens through these signals, which Qt queues to the GUI thread in the
// order they are emitted.
class HostUpdateThread : public QThread
{
    Q_OBJECT

  public:
    ~HostUpdateThread() override;

  signals:
    void listCleared();
    void deviceFound(const DiscoverEntry &entry, const QString &interfaceName);

  protected:
    void run() override;
};

class QHostView : public QTreeWidget
{
    Q_OBJECT

  public:
    enum Column { Ip, Netmask, Mac, Hostname, Firmware, ColumnCount };

    explicit QHostView(QWidget *parent = nullptr, const char *name = nullptr);

    void add_item(const DiscoverEntry *entry);
    bool openurl(const QString &ip);
    // Empties the list before a run's first row.
    void purge_items();

  public slots:
    void refresh();
    void clickedItem(QTreeWidgetItem *item, const QPoint &, int c);
    void doubleClickedItem(QTreeWidgetItem *item, const QPoint &, int c);

  signals:
    // A run has ended and the button is enabled again; rows is how many it listed.
    void refresh_done(int rows);

  private:
    void startRun();
    void runEnded();
    void widenFirmwareColumn(QTreeWidgetItem *item);

    friend int do_discover(QHostView *list, in_addr *local);

    QMutex updateMutex;
    HostUpdateThread updateThread;
    // Whether a run is in progress or about to start, and whether another was
    // asked for meanwhile; only the GUI thread reads or writes them.
    bool running = false;
    bool restartPending = false;
};

// Fills list with the devices that answer a discovery run from local;
// returns 0 once the replies have been collected, -1 when no request went out.
int do_discover(QHostView *list, in_addr *local);

extern QHostView *view;
extern QPushButton *discoverButton;
