#include "qhostview.h"
#include "hostitem.h"
#include "installdialog.h"
#include "trace.h"

#include <QClipboard>
#include <QDesktopServices>
#include <QGuiApplication>
#include <QHeaderView>
#include <QMenu>
#include <QMutexLocker>
#include <QPushButton>
#include <QStandardPaths>
#include <QUrl>
#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <utility>

QHostView *view = nullptr;
QPushButton *discoverButton = nullptr;

namespace
{

// Hands what a run finds to the list through the worker's queued signals.
class ListSink : public DiscoverSink
{
  public:
    explicit ListSink(HostUpdateThread &worker) : worker(worker) {}

    void found(const DiscoveredDevice &device) override
    {
        emit worker.deviceFound(device.entry, device.where);
    }
    bool stop_requested() override { return worker.isInterruptionRequested(); }

  private:
    HostUpdateThread &worker;
};

} // namespace

HostUpdateThread::~HostUpdateThread()
{
    // The run polls this request, so a window closed during a discovery does
    // not wait out the 2-second silence. An upload under way is finished.
    requestInterruption();
    wait();
}

void HostUpdateThread::run()
{
    for (const SetupRequest &request : std::exchange(pending, {})) {
        if (isInterruptionRequested())
            return;
        run_setup_request(request, [this](const QString &line) { emit statusMessage(line); });
    }
    trace("Performing discover\n");
    emit listCleared();
    in_addr any{};
    any.s_addr = htonl(INADDR_ANY);
    do_discover(view, &any);
}

int do_discover(QHostView *list, in_addr *local)
{
    std::vector<DiscoverInterface> interfaces(1);
    interfaces[0].addr = *local;
    if (local->s_addr == htonl(INADDR_ANY))
        interfaces = default_discover_interfaces();
    ListSink sink(list->updateThread);
    return discover_run(interfaces.data(), static_cast<int>(interfaces.size()), &sink);
}

QHostView::QHostView(QWidget *parent, const char *name) : QTreeWidget(parent)
{
    setObjectName(QString::fromLatin1(name));
    qRegisterMetaType<DiscoverEntry>();
    qRegisterMetaType<DiscoverInterface>();

    setColumnCount(ColumnCount);
    setHeaderLabels({"IP", "Netmask", "MAC", "Hostname", "Firmware"});
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
    connect(
        &updateThread, &HostUpdateThread::deviceFound, this,
        [this](const DiscoverEntry &entry, const DiscoverInterface &where) {
            add_item(&entry, &where);
        },
        Qt::QueuedConnection);
    connect(&updateThread, &HostUpdateThread::statusMessage, this, &QHostView::statusMessage,
            Qt::QueuedConnection);
    connect(&updateThread, &QThread::finished, this, &QHostView::runEnded, Qt::QueuedConnection);

    trace("QHostView::QHostView\n");
}

void QHostView::add_item(const DiscoverEntry *entry, const DiscoverInterface *where)
{
    const DiscoverInterface any{};
    auto *item = new HostItem(this, *entry, where != nullptr ? *where : any);
    // Devices that share an address each have a row, marked on both sides.
    const QList<HostItem *> sharing = rowsByAddress.values(entry->ipaddr.s_addr);
    for (HostItem *listed : sharing) {
        listed->addConflict(entry->mac);
        item->addConflict(listed->mac());
    }
    rowsByAddress.insert(entry->ipaddr.s_addr, item);
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
    const QString texts[] = {item->text(Ip), item->text(Mac), item->rowText()};
    const char *labels[] = {"Copy IP", "Copy MAC", "Copy row"};
    for (int i = 0; i < 3; ++i) {
        const QString text = texts[i];
        menu.addAction(labels[i], [text] { QGuiApplication::clipboard()->setText(text); });
    }
    menu.exec(viewport()->mapToGlobal(position));
}

bool QHostView::openurl(const QString &ip)
{
    // The address reaches a shell, so only a dotted IPv4 address, written
    // back out by inet_ntop, may go there.
    in_addr address;
    if (inet_pton(AF_INET, ip.toLatin1().constData(), &address) != 1) {
        std::fprintf(stderr, "openurl: not an IPv4 address, not opened: %s\n",
                     ip.toLatin1().constData());
        return false;
    }
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &address, text, sizeof(text));

    const QByteArray url = QByteArray("http://") + text + "/";
    trace("Opening url: %s\n", url.constData());
    if (QStandardPaths::findExecutable("kfmclient").isEmpty())
        return QDesktopServices::openUrl(QUrl(QString::fromLatin1(url)));
    const QByteArray command = "kfmclient exec \"" + url + "\"";
    return std::system(command.constData()) == 0;
}

void QHostView::refresh()
{
    startRun();
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
    if (item == nullptr || c == Ip)
        return;
    // Taken before the dialog opens: a run may replace the rows meanwhile.
    const auto *host = static_cast<HostItem *>(item);
    SetupRequest request;
    request.mac = host->mac();
    request.macText = item->text(Mac);
    request.local = host->local();

    dia->setMac(request.macText);
    if (dia->exec() == QDialog::Rejected)
        return;
    const QString problems = read_setup_fields(dia->fields(), &request);
    if (!problems.isEmpty())
        emit statusMessage(problems);
    startRun(request.setup || request.install ? &request : nullptr);
}

// A start asked for during a run waits for that run to end, so two runs never
// work on the list at once and no request is lost.
void QHostView::startRun(const SetupRequest *request)
{
    QMutexLocker lock(&updateMutex);
    discoverButton->setDisabled(true);
    if (request != nullptr)
        queuedRequests.append(*request);
    if (running) {
        restartPending = true;
        return;
    }
    running = true;
    startWorker();
}

void QHostView::startWorker()
{
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
        QMutexLocker lock(&updateMutex);
        startWorker();
    } else {
        running = false;
        discoverButton->setEnabled(true);
    }
    emit refresh_done(rows);
}
