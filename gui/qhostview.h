// SPDX-License-Identifier: GPL-3.0-or-later
// The host list: one row per device found by the last discovery run, with
// the remembered ones that did not answer greyed, and the worker thread that
// runs the discoveries.
#pragma once

#include "discover_run.h"
#include "hostupdatethread.h"
#include "inventory.h"
#include "setuprequest.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QSet>
#include <QTimer>
#include <QTreeWidget>
#include <deque>
#include <memory>
#include <variant>

class HostItem;
class InstallDialog;
class QAction;

class QHostView : public QTreeWidget
{
    Q_OBJECT

  public:
    enum Column {
        Ip,
        Netmask,
        Mac,
        Hostname,
        Firmware,
        Vendor,
        State,
        Note,
        // How an upload or a new address went; hidden until one starts.
        Progress,
        // Where an imported run found the device; empty for this host's own.
        // Last, so that a column order saved before it still fits.
        Site,
        ColumnCount
    };

    explicit QHostView(QWidget *parent = nullptr, const char *name = nullptr);
    ~QHostView() override;

    // The dialog a double-click on a row opens; without one it opens none.
    void setSetupDialog(InstallDialog *dialog) { setupDialog = dialog; }
    // Opens the inventory at path, lists the devices it remembers, and has
    // every later run recorded in it; without one (the default) the list
    // shows what this window's runs found, and notes cannot be kept.
    void openInventory(const QString &path);
    // Appends a row for a device found through where (the wildcard address
    // when null) whose reply came from source (any address when null).
    void add_item(const DiscoverEntry *entry, const DiscoverInterface *where = nullptr,
                  const in_addr *source = nullptr);
    bool openurl(const QString &ip);
    // Empties the list before a run's first row.
    void purge_items();
    // The rows not hidden by the filter, in the list's order.
    QList<const HostItem *> shownRows() const;

    // What a run hands over from its worker, in order: devices as they
    // answer, then the inventory's view of every device it remembers.
    void takeFound(const QList<FoundDevice> &devices);
    void takeRecorded(QList<RememberedDevice> devices);

    // Every row of a MAC (as the inventory writes it), absent ones too.
    QList<HostItem *> rowsOf(const QString &mac) const { return rowsOfMac.values(mac); }
    // The selected rows not hidden by the filter, in the list's order.
    QList<HostItem *> selectedRows() const;
    bool isBusy() const { return running; }
    // Whether the last run ended through cancel().
    bool wasCancelled() const { return cancelled; }
    // While held, the runs asked for (Discover, the watch, a setup) wait
    // until it is let go: work on many listed devices holds the list, so
    // that no run replaces their rows or talks to them meanwhile.
    void hold(bool on);
    bool isHeld() const { return held; }
    // Added to every row's context menu, after the copies.
    void addRowActions(const QList<QAction *> &actions) { rowActions += actions; }
    // Where the runs started later ask, and the port the window's requests
    // leave from.
    const DiscoveryReach &reach() const { return reach_; }
    void setReach(const DiscoveryReach &reach) { reach_ = reach; }

  public slots:
    void refresh();
    // A run that updates the rows in place, as the watch's do.
    void refreshInPlace();
    // Ends the run in progress and drops the setups and runs queued behind it.
    void cancel();
    void clickedItem(QTreeWidgetItem *item, const QPoint &, int c);
    void doubleClickedItem(QTreeWidgetItem *item, const QPoint &, int c);
    // Shows only the rows where some column holds text, whatever the case.
    void setFilterText(const QString &text);
    void setShowAbsent(bool show);
    // While on, runs a discovery now and then every interval seconds after
    // the last one ended, updating the rows in place.
    void setWatch(bool on);
    void setWatchInterval(int seconds);
    // Puts the selected rows on the clipboard, one line each, tab-separated.
    void copySelection();

  signals:
    // A run has ended; rows is how many devices answered it. When no other
    // run follows, busyChanged(false) came just before.
    void refresh_done(int rows);
    // One line for the window's status line.
    void statusMessage(const QString &line);
    // A run has started, or the last one has ended.
    void busyChanged(bool busy);
    void heldChanged(bool held);

  protected:
    void keyPressEvent(QKeyEvent *event) override;
    bool edit(const QModelIndex &index, EditTrigger trigger, QEvent *event) override;

  private:
    struct RunStarted {
    };
    struct RunEnded {
    };
    // The inventory's devices stay in the list it handed over, taken from
    // there one at a time; each leaves it as it is taken, so that dropping
    // the list of thousands at the end frees no more than its own block.
    struct Recorded {
        QList<RememberedDevice> devices;
        qsizetype next = 0;
    };
    using RunStep = std::variant<RunStarted, FoundDevice, Recorded, RunEnded>;

    void startRun(const SetupRequest *request, bool clears);
    void startWorker();
    void queueStep(RunStep step);
    void takeSteps();
    void beginListing();
    void place(const FoundDevice &found, QList<QTreeWidgetItem *> *added);
    void markShared(HostItem *row);
    bool recall(const RememberedDevice &device, QList<QTreeWidgetItem *> *added);
    // Files row under mac (as the inventory writes it) to join the list.
    HostItem *newRow(HostItem *row, const QString &mac, QList<QTreeWidgetItem *> *added);
    void insertRows(QList<QTreeWidgetItem *> *added,
                    const QDeadlineTimer &deadline = QDeadlineTimer(QDeadlineTimer::Forever));
    void finishRun();
    void endRun();
    bool filteredOut(const HostItem *row) const;
    void applyFilter(HostItem *row);
    void applyFilterToAll();
    void widenFirmwareColumn(QTreeWidgetItem *item);
    void sortOnFirstClick(int column);
    void showRowMenu(const QPoint &position);
    void storeNote(QTreeWidgetItem *item, int column);
    void watchTick();

    InstallDialog *setupDialog = nullptr;
    HostUpdateThread updateThread{this};
    // The connection of the GUI thread, for the notes and the start-up list.
    std::unique_ptr<Inventory> inventory;
    // Whether a run is in progress or about to start, whether another was
    // asked for meanwhile, whether that one clears the list first, and the
    // setups it is to carry.
    bool running = false;
    bool restartPending = false;
    bool held = false;
    bool clearNext = false;
    QList<SetupRequest> queuedRequests;
    // The current run: whether it clears the list, whether it was cancelled,
    // whether its discovery has begun, its number, and how many devices
    // answered it.
    bool clearing = true;
    bool cancelled = false;
    bool listing = false;
    int run = 0;
    int rowsThisRun = 0;
    // What the worker handed over and the list has not yet taken: taken a
    // few milliseconds at a time, so that the window keeps drawing while
    // thousands of devices answer; the rows made meanwhile that have not
    // joined the list yet; whether rows in the list changed state since it
    // was last repainted; and since when the last rows joined or it was.
    std::deque<RunStep> steps;
    QTimer stepTimer;
    QList<QTreeWidgetItem *> unlisted;
    // Rows out of the list, still to be deleted, and the index of them by MAC.
    QList<QTreeWidgetItem *> discarded;
    QMultiHash<QString, HostItem *> discardedIndex;
    bool repaintDue = false;
    QElapsedTimer sinceRedrawn;
    // Every row under its MAC (as the inventory writes it); the rows listed
    // under each address, and under each MAC, in this run.
    QMultiHash<QString, HostItem *> rowsOfMac;
    QMultiHash<quint32, HostItem *> rowsByAddress;
    QMultiHash<QByteArray, HostItem *> rowsByMac;
    // The notes the inventory keeps, by MAC, for the rows a run adds.
    QHash<QString, QString> notes;
    // The firmware texts the column's width has been measured against.
    QSet<QString> measuredFirmware;
    // Case-folded.
    QString filterText;
    bool showAbsent = true;
    bool watching = false;
    QTimer watchTimer;
    QList<QAction *> rowActions;
    DiscoveryReach reach_;
    // Repaints the "last seen" times now and then.
    QTimer ageTimer;
};
