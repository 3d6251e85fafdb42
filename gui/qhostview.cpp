// SPDX-License-Identifier: GPL-3.0-or-later
#include "qhostview.h"
#include "hostitem.h"
#include "installdialog.h"
#include "text.h"
#include "trace.h"

#include <QClipboard>
#include <QDesktopServices>
#include <QGuiApplication>
#include <QHeaderView>
#include <QMenu>
#include <QProcess>
#include <QUrl>
#include <arpa/inet.h>
#include <cstdio>
#include <utility>

namespace
{

// Queues a row on the list for each device a run finds; the run stops when
// the thread it runs on is asked to.
class ListSink : public DiscoverSink
{
  public:
    explicit ListSink(QHostView *list) : list(list) {}

    void found(const DiscoveredDevice &device) override
    {
        QMetaObject::invokeMethod(
            list,
            [list = list, device] { list->add_item(&device.entry, &device.where, &device.source); },
            Qt::QueuedConnection);
    }
    bool stop_requested() override { return QThread::currentThread()->isInterruptionRequested(); }

  private:
    QHostView *list;
};

} // namespace

HostUpdateThread::~HostUpdateThread()
{
    // Every wait of a run polls this request, so a window closed during a
    // discovery or an exchange ends at once, whatever the device does.
    requestInterruption();
    wait();
}

void HostUpdateThread::run()
{
    const auto say = [this](const QString &line) { emit statusMessage(line); };
    const auto stop = [this] { return isInterruptionRequested(); };
    for (const SetupRequest &request : std::exchange(pending, {})) {
        if (stop())
            return;
        run_setup_request(request, say, stop);
    }
    if (stop())
        return;
    trace("Performing discover\n");
    emit listCleared();
    in_addr any{};
    any.s_addr = htonl(INADDR_ANY);
    do_discover(list, &any);
    if (stop())
        say(tr("Discovery cancelled"));
}

int do_discover(QHostView *list, in_addr *local)
{
    std::vector<DiscoverInterface> interfaces(1);
    interfaces[0].addr = *local;
    if (local->s_addr == htonl(INADDR_ANY))
        interfaces = default_discover_interfaces();
    ListSink sink(list);
    return discover_run(interfaces.data(), static_cast<int>(interfaces.size()), &sink);
}

QHostView::QHostView(QWidget *parent, const char *name) : QTreeWidget(parent)
{
    setObjectName(QString::fromLatin1(name));
    setColumnCount(ColumnCount);
    setHeaderLabels({tr("IP"), tr("Netmask"), tr("MAC"), tr("Hostname"), tr("Firmware")});
    for (int c = Ip; c < Firmware; ++c)
        setColumnWidth(c, 100);
    setRootIsDecorated(false);
    // Every row is one line of text; telling the view so keeps a run with
    // thousands of devices from measuring each row.
    setUniformRowHeights(true);
    // Rows stay in arrival order until the user asks for another.
    header()->setSectionsClickable(true);
    connect(header(), &QHeaderView::sectionClicked, this, &QHostView::sortOnFirstClick);
    setContextMenuPolicy(Qt::CustomContextMenu);
    connect(this, &QWidget::customContextMenuRequested, this, &QHostView::showRowMenu);

    connect(&updateThread, &HostUpdateThread::listCleared, this, &QHostView::purge_items,
            Qt::QueuedConnection);
    connect(&updateThread, &HostUpdateThread::statusMessage, this, &QHostView::statusMessage,
            Qt::QueuedConnection);
    connect(&updateThread, &QThread::finished, this, &QHostView::runEnded, Qt::QueuedConnection);

    trace("QHostView::QHostView\n");
}

void QHostView::add_item(const DiscoverEntry *entry, const DiscoverInterface *where,
                         const in_addr *source)
{
    const DiscoveredDevice device{*entry, where != nullptr ? *where : DiscoverInterface{},
                                  source != nullptr ? *source : in_addr{}};
    auto *item = new HostItem(this, device);
    // Devices that share an address each have a row, marked on both sides;
    // so have devices that answer with one MAC from two addresses.
    const QList<HostItem *> sharing = rowsByAddress.values(entry->ipaddr.s_addr);
    for (HostItem *listed : sharing) {
        listed->addConflict(entry->mac);
        item->addConflict(listed->mac());
    }
    const QByteArray mac(reinterpret_cast<const char *>(&entry->mac), sizeof(entry->mac));
    const QList<HostItem *> cloned = rowsByMac.values(mac);
    for (HostItem *listed : cloned) {
        listed->addClone(device.source);
        item->addClone(listed->source());
    }
    rowsByAddress.insert(entry->ipaddr.s_addr, item);
    rowsByMac.insert(mac, item);
    widenFirmwareColumn(item);
}

// The firmware column grows to its widest entry so far; asking only about the
// new row keeps this cheap however long the list gets.
void QHostView::widenFirmwareColumn(QTreeWidgetItem *item)
{
    QStyleOptionViewItem option;
    initViewItemOption(&option);
    const int width = itemDelegate()->sizeHint(option, indexFromItem(item, Firmware)).width();
    if (width > columnWidth(Firmware))
        setColumnWidth(Firmware, width);
}

void QHostView::purge_items()
{
    rowsByAddress.clear();
    rowsByMac.clear();
    clear();
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
    startRun();
}

void QHostView::cancel()
{
    if (!running)
        return;
    restartPending = false;
    queuedRequests.clear();
    updateThread.requestInterruption();
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

    setupDialog->setMac(request.macText);
    if (setupDialog->exec() == QDialog::Rejected)
        return;
    const QString problems = read_setup_fields(setupDialog->fields(), &request);
    // Said after the start, so that it takes the place of what a starting
    // run says about its interfaces.
    startRun(request.setup || request.install ? &request : nullptr);
    if (!problems.isEmpty())
        emit statusMessage(problems);
}

// A start asked for during a run waits for that run to end, so two runs never
// work on the list at once and no request is lost.
void QHostView::startRun(const SetupRequest *request)
{
    if (request != nullptr)
        queuedRequests.append(*request);
    if (running) {
        restartPending = true;
        return;
    }
    running = true;
    emit busyChanged(true);
    startWorker();
}

void QHostView::startWorker()
{
    const std::vector<DiscoverInterface> interfaces = default_discover_interfaces();
    if (interfaces.size() == 1 && is_wildcard(interfaces[0]))
        emit statusMessage(tr("No network interface can broadcast: asked through the default "
                              "route only"));
    updateThread.setRequests(std::exchange(queuedRequests, {}));
    updateThread.start();
}

void QHostView::runEnded()
{
    const int rows = topLevelItemCount();
    if (restartPending) {
        restartPending = false;
        // start() waits for the thread to leave its finishing steps, which
        // take no time once finished() has been emitted.
        startWorker();
    } else {
        running = false;
        emit busyChanged(false);
    }
    emit refresh_done(rows);
}
