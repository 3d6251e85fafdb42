// SPDX-License-Identifier: GPL-3.0-or-later
#include "qhostview.h"
#include "hostitem.h"
#include "installdialog.h"
#include "onelinedelegate.h"
#include "sighting.h"
#include "stillscrollbar.h"
#include "text.h"
#include "trace.h"
#include "vendors.h"

#include <QClipboard>
#include <QDeadlineTimer>
#include <QDesktopServices>
#include <QGuiApplication>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMenu>
#include <QProcess>
#include <QUrl>
#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <utility>

namespace
{

// How long the list takes what a run hands over in one go before it lets the
// window draw and handle input again; counted in nanoseconds, as whole
// milliseconds would let it run up to one more.
constexpr std::chrono::milliseconds STEP_BUDGET{2};
// Each time rows join the list, the list lays out every row and repaints:
// new rows join at most this often, the first screenful at once; rows
// whose state changed are repainted as often.
constexpr int LISTING_MS = 50;
constexpr int SCREENFUL = 100;
// The pause after rows joined the list, for that layout and repaint.
constexpr int LISTING_PAUSE_MS = 20;
// Rows joining the list at once join this many at a time (see insertRows):
// few enough that the slice begun as the budget runs out ends soon after.
constexpr qsizetype JOINING_SLICE = 64;

} // namespace

QHostView::QHostView(QWidget *parent, const char *name) : QTreeWidget(parent)
{
    setObjectName(QString::fromLatin1(name));
    setColumnCount(ColumnCount);
    setHeaderLabels({tr("IP"), tr("Netmask"), tr("MAC"), tr("Hostname"), tr("Firmware"),
                     tr("Vendor"), tr("State"), tr("Note"), tr("Progress"), tr("Site")});
    setColumnHidden(Progress, true);
    for (int c = Ip; c < Firmware; ++c)
        setColumnWidth(c, 100);
    setColumnWidth(Vendor, 160);
    setColumnWidth(State, 140);
    setRootIsDecorated(false);
    // Every row is one line of text; telling the view so keeps a run with
    // thousands of devices from measuring each row.
    setUniformRowHeights(true);
    // The rows are drawn again each time rows join, and a repaint without
    // shaping takes about a third less. Scripts that need shaping still get
    // it; Latin text loses only its kerning.
    QFont unshaped;
    unshaped.setStyleStrategy(QFont::PreferNoShaping);
    setFont(unshaped);
    setItemDelegate(new OneLineDelegate(this));
    // Only the horizontal bar: the vertical one changes as rows join.
    setHorizontalScrollBar(new StillScrollBar(Qt::Horizontal, this));
    setSelectionMode(ExtendedSelection);
    // A double-click belongs to the setup dialog; a note is written after a
    // click on a selected row's note, or with F2.
    setEditTriggers(SelectedClicked | EditKeyPressed);
    // Rows stay in arrival order until the user asks for another.
    header()->setSectionsClickable(true);
    connect(header(), &QHeaderView::sectionClicked, this, &QHostView::sortOnFirstClick);
    setContextMenuPolicy(Qt::CustomContextMenu);
    connect(this, &QWidget::customContextMenuRequested, this, &QHostView::showRowMenu);
    connect(this, &QTreeWidget::itemChanged, this, &QHostView::storeNote);

    connect(
        &updateThread, &HostUpdateThread::listCleared, this, [this] { queueStep(RunStarted{}); },
        Qt::QueuedConnection);
    connect(&updateThread, &HostUpdateThread::statusMessage, this, &QHostView::statusMessage,
            Qt::QueuedConnection);
    connect(
        &updateThread, &QThread::finished, this, [this] { queueStep(RunEnded{}); },
        Qt::QueuedConnection);

    stepTimer.setSingleShot(true);
    connect(&stepTimer, &QTimer::timeout, this, &QHostView::takeSteps);
    sinceRedrawn.start();
    watchTimer.setSingleShot(true);
    watchTimer.setInterval(10 * 1000);
    connect(&watchTimer, &QTimer::timeout, this, &QHostView::watchTick);
    ageTimer.start(60 * 1000);
    connect(&ageTimer, &QTimer::timeout, viewport(), qOverload<>(&QWidget::update));

    trace("QHostView::QHostView\n");
}

QHostView::~QHostView()
{
    qDeleteAll(unlisted);
    qDeleteAll(discarded);
}

void QHostView::openInventory(const QString &path)
{
    if (path.isEmpty())
        return;
    inventory = std::make_unique<Inventory>(path);
    if (!inventory->errorLine().isEmpty())
        emit statusMessage(inventory->errorLine());
    if (!inventory->isOpen()) {
        inventory.reset();
        return;
    }
    updateThread.setDatabase(inventory->path());
    takeRecorded(inventory->devices());
}

void QHostView::add_item(const DiscoverEntry *entry, const DiscoverInterface *where,
                         const in_addr *source)
{
    const DiscoveredDevice device{*entry, where != nullptr ? *where : DiscoverInterface{},
                                  source != nullptr ? *source : in_addr{}, in_addr{}};
    QList<QTreeWidgetItem *> added;
    place({device, vendorForMac(entry->mac)}, &added);
    insertRows(&added);
}

void QHostView::takeFound(const QList<FoundDevice> &devices)
{
    for (const FoundDevice &device : devices)
        queueStep(device);
}

// Queued whole: thousands of devices queued one by one would hold up the
// window for milliseconds.
void QHostView::takeRecorded(QList<RememberedDevice> devices)
{
    if (!devices.isEmpty())
        queueStep(Recorded{std::move(devices)});
}

void QHostView::queueStep(RunStep step)
{
    steps.push_back(std::move(step));
    if (!stepTimer.isActive())
        stepTimer.start(0);
}

// Rows join the list in goes of their own, and the rows whose state changed
// are repainted together, as often as rows join.
void QHostView::takeSteps()
{
    const QDeadlineTimer budget(STEP_BUDGET, Qt::PreciseTimer);
    if (!unlisted.isEmpty() && sinceRedrawn.hasExpired(LISTING_MS)) {
        insertRows(&unlisted, budget);
        stepTimer.start(unlisted.isEmpty() ? LISTING_PAUSE_MS : 0);
        return;
    }
    discardedIndex.clear();
    while (!discarded.isEmpty() && !budget.hasExpired())
        delete discarded.takeLast();
    bool ended = false;
    for (int taken = 0; !steps.empty() && !ended && !budget.hasExpired(); ++taken) {
        if (auto *recorded = std::get_if<Recorded>(&steps.front())) {
            const RememberedDevice device = std::move(recorded->devices[recorded->next++]);
            repaintDue = recall(device, &unlisted) || repaintDue;
            if (recorded->next == recorded->devices.size())
                steps.pop_front();
            continue;
        }
        // A run's start and end touch every row: each takes a go of its
        // own, once the rows before it have joined.
        const bool device = std::holds_alternative<FoundDevice>(steps.front());
        if (!device && (taken > 0 || !unlisted.isEmpty()))
            break;
        RunStep step = std::move(steps.front());
        steps.pop_front();
        if (const auto *found = std::get_if<FoundDevice>(&step))
            place(*found, &unlisted);
        else if (std::holds_alternative<RunStarted>(step))
            beginListing();
        else
            ended = true;
    }
    // The first screenful at once, however many rows came with it; the rows
    // a run's start or end, or the inventory's devices, wait for, as the
    // budget allows; the others when their time comes.
    if (const qsizetype missing = SCREENFUL - topLevelItemCount(); missing > 0) {
        QList<QTreeWidgetItem *> screenful = unlisted.first(std::min(missing, unlisted.size()));
        unlisted.remove(0, screenful.size());
        insertRows(&screenful);
    }
    if (!steps.empty() && !std::holds_alternative<FoundDevice>(steps.front()))
        insertRows(&unlisted, budget);
    if (repaintDue && (steps.empty() || sinceRedrawn.hasExpired(LISTING_MS))) {
        viewport()->update();
        repaintDue = false;
        sinceRedrawn.start();
    }
    if (!steps.empty() || !discarded.isEmpty())
        stepTimer.start(0);
    else if (!unlisted.isEmpty())
        stepTimer.start(std::max(qint64{0}, LISTING_MS - sinceRedrawn.elapsed()));
    // Last: whoever learns that the run ended may start another at once.
    if (ended)
        endRun();
}

void QHostView::beginListing()
{
    ++run;
    rowsThisRun = 0;
    listing = true;
    rowsByAddress.clear();
    rowsByMac.clear();
    if (clearing)
        purge_items();
}

// A device keeps its row from an earlier run of a watch: the one at the same
// address, or else one it had at another.
void QHostView::place(const FoundDevice &found, QList<QTreeWidgetItem *> *added)
{
    const DiscoveredDevice &device = found.device;
    const QString mac = mac_key(device.entry.mac);
    HostItem *row = nullptr;
    for (HostItem *listed : rowsOfMac.values(mac)) {
        if (listed->lastRun() == run)
            continue;
        if (row == nullptr || (listed->address().s_addr == device.entry.ipaddr.s_addr &&
                               listed->source().s_addr == device.source.s_addr))
            row = listed;
    }
    if (row != nullptr) {
        row->update(device);
        applyFilter(row);
        if (row->treeWidget() != nullptr)
            widenFirmwareColumn(row);
    } else {
        row = newRow(new HostItem(device, found.vendor), mac, added);
        row->setNote(notes.value(mac));
    }
    row->seenIn(run);
    markShared(row);
    ++rowsThisRun;
}

// Devices that share an address each have a row, marked on both sides; so
// have devices that answer with one MAC from two addresses.
void QHostView::markShared(HostItem *row)
{
    const QList<HostItem *> sharing = rowsByAddress.values(row->address().s_addr);
    for (HostItem *listed : sharing) {
        listed->addConflict(row->mac());
        row->addConflict(listed->mac());
    }
    const QByteArray mac(reinterpret_cast<const char *>(&row->mac()), sizeof(ether_addr));
    const QList<HostItem *> cloned = rowsByMac.values(mac);
    for (HostItem *listed : cloned) {
        listed->addClone(row->source());
        row->addClone(listed->source());
    }
    rowsByAddress.insert(row->address().s_addr, row);
    rowsByMac.insert(mac, row);
}

// What the inventory made of a device goes to its rows that answered this
// run, or, when it did not answer, to its rows that did not; a device
// without such a row gets one. True when a row in the list changed.
bool QHostView::recall(const RememberedDevice &device, QList<QTreeWidgetItem *> *added)
{
    notes.insert(device.mac, device.note);
    // A device of another site never answers this host's runs.
    const bool answered = device.state != DeviceState::Absent && device.site.isEmpty();
    bool found = false;
    bool listed = false;
    for (HostItem *row : rowsOfMac.values(device.mac)) {
        if ((row->lastRun() == run) != answered)
            continue;
        row->remember(device);
        applyFilter(row);
        found = true;
        listed = listed || row->treeWidget() != nullptr;
    }
    if (!found)
        newRow(new HostItem(device), device.mac, added);
    return listed;
}

HostItem *QHostView::newRow(HostItem *row, const QString &mac, QList<QTreeWidgetItem *> *added)
{
    if (inventory != nullptr)
        row->setFlags(row->flags() | Qt::ItemIsEditable);
    rowsOfMac.insert(mac, row);
    added->append(row);
    return row;
}

// Joins the rows a slice at a time until deadline, leaving the rest in added.
void QHostView::insertRows(QList<QTreeWidgetItem *> *added, const QDeadlineTimer &deadline)
{
    if (added->isEmpty())
        return;
    // Looked up right after it joined, a row remembers its place; a first
    // lookup later, as hiding it makes, searches the whole list. A lookup
    // searches from the list's end, so rows join a slice at a time: with
    // thousands at once, looking each up would take long.
    qsizetype joined = 0;
    while (joined < added->size() && !deadline.hasExpired()) {
        const QList<QTreeWidgetItem *> slice = added->mid(joined, JOINING_SLICE);
        addTopLevelItems(slice);
        for (QTreeWidgetItem *row : slice) {
            indexFromItem(row);
            applyFilter(static_cast<HostItem *>(row));
            widenFirmwareColumn(row);
        }
        joined += slice.size();
    }
    added->remove(0, joined);
    if (added->isEmpty())
        sinceRedrawn.start();
}

// The rows of the list that did not answer a whole run are absent, but for
// those of other sites, which its runs cannot reach; and the marks the others
// had before and that the run did not confirm go.
void QHostView::finishRun()
{
    if (!listing || cancelled)
        return;
    for (int i = 0; i < topLevelItemCount(); ++i) {
        auto *row = static_cast<HostItem *>(topLevelItem(i));
        if (row->lastRun() == run) {
            row->dropStaleMarks();
        } else if (row->text(Site).isEmpty()) {
            row->setAbsent();
            applyFilter(row);
        }
    }
    viewport()->update();
}

// The firmware column grows to its widest entry so far; asking only about
// texts not measured before keeps this cheap however many rows arrive.
void QHostView::widenFirmwareColumn(QTreeWidgetItem *item)
{
    const QString firmware = item->text(Firmware);
    if (measuredFirmware.contains(firmware))
        return;
    measuredFirmware.insert(firmware);
    QStyleOptionViewItem option;
    initViewItemOption(&option);
    const int width = itemDelegate()->sizeHint(option, indexFromItem(item, Firmware)).width();
    if (width > columnWidth(Firmware))
        setColumnWidth(Firmware, width);
}

// The rows leave the list at once and are deleted a few milliseconds' worth
// at a time: thousands of them take a while. Taking them out takes a few
// milliseconds itself, so their index by MAC is dropped in the next go.
void QHostView::purge_items()
{
    qDeleteAll(std::exchange(unlisted, {}));
    discardedIndex = std::exchange(rowsOfMac, {});
    rowsByAddress.clear();
    rowsByMac.clear();
    discarded += invisibleRootItem()->takeChildren();
    if (!discarded.isEmpty() && !stepTimer.isActive())
        stepTimer.start(0);
}

QList<const HostItem *> QHostView::shownRows() const
{
    QList<const HostItem *> rows;
    for (int i = 0; i < topLevelItemCount(); ++i)
        if (!topLevelItem(i)->isHidden())
            rows.append(static_cast<const HostItem *>(topLevelItem(i)));
    return rows;
}

bool QHostView::filteredOut(const HostItem *row) const
{
    if (!showAbsent && row->state() == DeviceState::Absent)
        return true;
    return !filterText.isEmpty() && !row->matches(filterText);
}

// Rows not in the list yet are filtered as they join it.
void QHostView::applyFilter(HostItem *row)
{
    if (row->treeWidget() != nullptr)
        row->setShown(!filteredOut(row));
}

void QHostView::applyFilterToAll()
{
    for (int i = 0; i < topLevelItemCount(); ++i)
        applyFilter(static_cast<HostItem *>(topLevelItem(i)));
}

void QHostView::setFilterText(const QString &text)
{
    filterText = text.toCaseFolded();
    applyFilterToAll();
}

void QHostView::setShowAbsent(bool show)
{
    showAbsent = show;
    applyFilterToAll();
}

void QHostView::copySelection()
{
    QStringList lines;
    for (int i = 0; i < topLevelItemCount(); ++i) {
        const auto *row = static_cast<const HostItem *>(topLevelItem(i));
        if (row->isSelected() && !row->isHidden())
            lines << row->rowText();
    }
    if (!lines.isEmpty())
        QGuiApplication::clipboard()->setText(lines.join('\n'));
}

QList<HostItem *> QHostView::selectedRows() const
{
    QList<HostItem *> rows;
    for (int i = 0; i < topLevelItemCount(); ++i) {
        auto *row = static_cast<HostItem *>(topLevelItem(i));
        if (row->isSelected() && !row->isHidden())
            rows << row;
    }
    return rows;
}

void QHostView::keyPressEvent(QKeyEvent *event)
{
    if (event->matches(QKeySequence::Copy)) {
        copySelection();
        return;
    }
    const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    if (enter && currentItem() != nullptr && state() != EditingState) {
        doubleClickedItem(currentItem(), QPoint(), Mac);
        return;
    }
    QTreeWidget::keyPressEvent(event);
}

// Only the note is the user's to write; F2 writes it whatever column is
// current.
bool QHostView::edit(const QModelIndex &index, EditTrigger trigger, QEvent *event)
{
    if (index.column() != Note && trigger != EditKeyPressed)
        return false;
    return QTreeWidget::edit(index.siblingAtColumn(Note), trigger, event);
}

// A note is kept by the device's MAC, so every row of that MAC shows it, and
// it stays with the device whatever address it takes.
void QHostView::storeNote(QTreeWidgetItem *item, int column)
{
    auto *row = static_cast<HostItem *>(item);
    if (column != Note || !row->noteEdited())
        return;
    const QString mac = row->macKey();
    const QString note = row->text(Note);
    if (inventory == nullptr || !inventory->setNote(mac, note)) {
        row->setNote(row->note());
        emit statusMessage(tr("Note not kept: %1 is not in the inventory yet").arg(row->text(Mac)));
        return;
    }
    notes.insert(mac, note);
    for (HostItem *same : rowsOfMac.values(mac))
        same->setNote(note);
}

void QHostView::sortOnFirstClick(int column)
{
    if (isSortingEnabled())
        return;
    header()->setSortIndicator(column, Qt::AscendingOrder);
    setSortingEnabled(true);
}

void QHostView::showRowMenu(const QPoint &position)
{
    auto *item = static_cast<HostItem *>(itemAt(position));
    if (item == nullptr)
        return;
    QMenu menu(this);
    const std::pair<QString, QString> copies[] = {{tr("Copy IP"), item->text(Ip)},
                                                  {tr("Copy MAC"), item->text(Mac)},
                                                  {tr("Copy row"), item->rowText()}};
    for (const auto &[label, text] : copies)
        menu.addAction(label, [text = text] { QGuiApplication::clipboard()->setText(text); });
    if (!rowActions.isEmpty()) {
        menu.addSeparator();
        menu.addActions(rowActions);
    }
    menu.exec(viewport()->mapToGlobal(position));
}

bool QHostView::openurl(const QString &ip)
{
    // Only a dotted IPv4 address, written back out by inet_ntop, goes into
    // the URL that another program is handed.
    in_addr address;
    if (inet_pton(AF_INET, ip.toLatin1().constData(), &address) != 1) {
        std::fprintf(stderr, "openurl: not an IPv4 address, not opened: %s\n",
                     ip.toLatin1().constData());
        return false;
    }
    char text[INET_ADDRSTRLEN];
    trace("Opening url: http://%s/\n", format_ipv4(address, text));
    const QString url = QString("http://%1/").arg(QLatin1String(text));
    // Without kfmclient installed, the desktop's own browser.
    return QProcess::startDetached("kfmclient", {"exec", url}) ||
           QDesktopServices::openUrl(QUrl(url));
}

void QHostView::refresh()
{
    startRun(nullptr, true);
}

void QHostView::refreshInPlace()
{
    startRun(nullptr, false);
}

void QHostView::hold(bool on)
{
    if (held == on)
        return;
    held = on;
    emit heldChanged(held);
    if (!held && restartPending && !running) {
        restartPending = false;
        running = true;
        emit busyChanged(true);
        startWorker();
    }
}

void QHostView::cancel()
{
    if (!running)
        return;
    restartPending = false;
    clearNext = false;
    queuedRequests.clear();
    cancelled = true;
    updateThread.requestInterruption();
}

void QHostView::setWatch(bool on)
{
    watching = on;
    if (on)
        watchTick();
    else
        watchTimer.stop();
}

void QHostView::setWatchInterval(int seconds)
{
    watchTimer.setInterval(seconds * 1000);
}

// A watch run waits for the one in progress, whatever started it, to end.
void QHostView::watchTick()
{
    if (!running)
        startRun(nullptr, false);
}

void QHostView::clickedItem(QTreeWidgetItem *item, const QPoint &, int c)
{
    trace("clickedItem( %p, %d )\n", static_cast<void *>(item), c);
    if (item == nullptr || c != Ip)
        return;
    openurl(item->text(Ip));
}

void QHostView::doubleClickedItem(QTreeWidgetItem *item, const QPoint &, int c)
{
    trace("doubleClickedItem( %p, %d )\n", static_cast<void *>(item), c);
    // The IP column belongs to the single click, which opens the web page.
    if (item == nullptr || c == Ip || setupDialog == nullptr)
        return;
    // Taken before the dialog opens: a run may replace the rows meanwhile.
    const auto *host = static_cast<HostItem *>(item);
    SetupRequest request;
    request.mac = host->mac();
    request.macText = item->text(Mac);
    request.local = host->local();
    request.device = host->source();
    request.target = host->target();
    request.sourcePort = reach_.sourcePort;

    setupDialog->setMac(request.macText);
    if (setupDialog->exec() == QDialog::Rejected)
        return;
    const QString problems = read_setup_fields(setupDialog->fields(), &request);
    // Said after the start, so that it takes the place of what a starting
    // run says about its interfaces.
    startRun(request.setup || request.install ? &request : nullptr, true);
    if (!problems.isEmpty())
        emit statusMessage(problems);
}

// A start asked for during a run waits for that run to end, so two runs never
// work on the list at once and no request is lost.
void QHostView::startRun(const SetupRequest *request, bool clears)
{
    if (request != nullptr)
        queuedRequests.append(*request);
    clearNext = clearNext || clears;
    if (running || held) {
        restartPending = true;
        return;
    }
    running = true;
    emit busyChanged(true);
    startWorker();
}

void QHostView::startWorker()
{
    clearing = std::exchange(clearNext, false);
    cancelled = false;
    rowsThisRun = 0;
    const std::vector<DiscoverInterface> interfaces = default_discover_interfaces();
    if (interfaces.size() == 1 && is_wildcard(interfaces[0]))
        emit statusMessage(tr("No network interface can broadcast: asked through the default "
                              "route only"));
    updateThread.setRequests(std::exchange(queuedRequests, {}));
    updateThread.setReach(reach_);
    updateThread.start();
}

void QHostView::endRun()
{
    finishRun();
    listing = false;
    if (restartPending && !held) {
        restartPending = false;
        // start() waits for the thread to leave its finishing steps, which
        // take no time once finished() has been emitted.
        startWorker();
    } else {
        running = false;
        emit busyChanged(false);
        if (watching)
            watchTimer.start();
    }
    emit refresh_done(rowsThisRun);
}
