#include "qhostview.h"
#include "discover_run.h"
#include "installdialog.h"
#include "trace.h"

#include <QDesktopServices>
#include <QHeaderView>
#include <QMutexLocker>
#include <QPushButton>
#include <QStandardPaths>
#include <QUrl>
#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>

QHostView *view = nullptr;
QPushButton *discoverButton = nullptr;

namespace
{

// Hands what a run finds to the list through the worker's queued signals.
class ListSink : public DiscoverSink
{
  public:
    explicit ListSink(HostUpdateThread &worker) : worker(worker) {}

    void found(const DiscoverEntry &entry, const DiscoverInterface &where) override
    {
        emit worker.deviceFound(entry, QString::fromLatin1(where.name));
    }
    bool stop_requested() override { return worker.isInterruptionRequested(); }

  private:
    HostUpdateThread &worker;
};

// A text field of the record as Latin-1, stopping at the field's end even
// when the terminator is missing.
template <size_t N> QString latin1_field(const char (&field)[N])
{
    return QString::fromLatin1(field, static_cast<qsizetype>(strnlen(field, N)));
}

} // namespace

HostUpdateThread::~HostUpdateThread()
{
    // The run polls this request, so a window closed during a run does not
    // wait out the 2-second silence.
    requestInterruption();
    wait();
}

void HostUpdateThread::run()
{
    trace("Performing discover\n");
    emit listCleared();
    in_addr any{};
    any.s_addr = htonl(INADDR_ANY);
    do_discover(view, &any);
}

int do_discover(QHostView *list, in_addr *local)
{
    DiscoverInterface where{};
    where.addr = *local;
    ListSink sink(list->updateThread);
    return discover_run(&where, 1, &sink);
}

QHostView::QHostView(QWidget *parent, const char *name) : QTreeWidget(parent)
{
    setObjectName(QString::fromLatin1(name));
    qRegisterMetaType<DiscoverEntry>();

    setColumnCount(ColumnCount);
    setHeaderLabels({"IP", "Netmask", "MAC", "Hostname", "Firmware"});
    for (int c = Ip; c < Firmware; ++c)
        setColumnWidth(c, 100);
    setRootIsDecorated(false);
    // Every row is one line of text; telling the view so keeps a run with
    // thousands of devices from measuring each row.
    setUniformRowHeights(true);

    connect(&updateThread, &HostUpdateThread::listCleared, this, &QHostView::purge_items,
            Qt::QueuedConnection);
    connect(
        &updateThread, &HostUpdateThread::deviceFound, this,
        [this](const DiscoverEntry &entry, const QString &) { add_item(&entry); },
        Qt::QueuedConnection);
    connect(&updateThread, &QThread::finished, this, &QHostView::runEnded, Qt::QueuedConnection);

    trace("QHostView::QHostView\n");
}

void QHostView::add_item(const DiscoverEntry *entry)
{
    char ip[16];
    char netmask[128];
    char mac[18];
    inet_ntop(AF_INET, &entry->ipaddr, ip, sizeof(ip));
    inet_ntop(AF_INET, &entry->netmask, netmask, sizeof(netmask));
    ether_ntoa_r(&entry->mac, mac);

    auto *item = new QTreeWidgetItem(this, {QString::fromLatin1(ip), QString::fromLatin1(netmask),
                                            QString::fromLatin1(mac), latin1_field(entry->hostname),
                                            latin1_field(entry->firmware)});
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
    clear();
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
    dia->setMac(item->text(Mac));
    if (dia->exec() == QDialog::Rejected)
        return;
    startRun();
}

// A start asked for during a run waits for that run to end, so two runs never
// work on the list at once and no request is lost.
void QHostView::startRun()
{
    QMutexLocker lock(&updateMutex);
    discoverButton->setDisabled(true);
    if (running) {
        restartPending = true;
        return;
    }
    running = true;
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
        updateThread.start();
    } else {
        running = false;
        discoverButton->setEnabled(true);
    }
    emit refresh_done(rows);
}
