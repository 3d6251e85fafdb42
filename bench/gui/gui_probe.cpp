// SPDX-License-Identifier: GPL-3.0-or-later
// Presses "Discover" in the real window and reports how the run went: rows
// listed, milliseconds from the press to the last row and to the end of the
// run, the longest gap between ticks of a 1 ms timer on the GUI thread
// (how long the window stalled), and the share of the machine's CPU time
// that its host took until rows stopped arriving. With --setup MAC IP
// NETMASK it then sets up the device of that row through the setup dialog
// and waits for the run that follows. With --grab FILE it saves a picture
// of the window at the end, each column a little wider than its widest text;
// --size WIDTH HEIGHT sets the window's size for it.
// With --batch IMAGE PARALLEL UNTIL it then selects every row, sorted by
// address, and updates them with IMAGE, PARALLEL at once; the picture is
// taken 1.5 s after the batch's counts line first holds UNTIL, so uploads
// that stalled show how far they got.
// With --database FILE the window remembers its devices there.
// With --startup SINCE ROWS it runs no discovery: it reports the
// milliseconds from SINCE (milliseconds since the epoch, taken just before
// the probe was started) until the window was first drawn and until the list
// held ROWS rows; then, with --filter TEXT, the longest and the mean time the
// window took for each keystroke of TEXT typed into the filter box.
// With --watch SECONDS RUNS it turns on the watch at that interval instead of
// pressing "Discover", and reports the process's resident memory after the
// first of RUNS runs, at its highest, and after the last.
#include "firmwareupdate.h"
#include "installdialog.h"
#include "mainwindow.h"
#include "qhostview.h"

#include <QApplication>
#include <QCheckBox>
#include <QDateTime>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QPushButton>
#include <QSpinBox>
#include <QTimer>
#include <cstdio>
#include <cstring>
#include <unistd.h>
#include <utility>
#include <vector>

namespace
{

// Types text into the filter box a character at a time, then takes it back
// with backspaces, each keystroke timed until the window has handled
// everything it caused.
void time_keystrokes(QWidget &box, const QString &text)
{
    auto *filter = box.findChild<QLineEdit *>("filter");
    qint64 longest = 0;
    qint64 total = 0;
    qsizetype fewest = view->topLevelItemCount();
    for (int i = 0; i < 2 * text.size(); ++i) {
        QElapsedTimer keystroke;
        keystroke.start();
        if (i < text.size())
            filter->insert(text[i]);
        else
            filter->backspace();
        QCoreApplication::processEvents();
        const qint64 spent = keystroke.nsecsElapsed() / 1000;
        longest = std::max(longest, spent);
        total += spent;
        fewest = std::min(fewest, view->shownRows().size());
    }
    std::printf("filter=%s fewest_shown=%lld longest_keystroke_us=%lld mean_keystroke_us=%lld\n",
                qPrintable(text), static_cast<long long>(fewest), static_cast<long long>(longest),
                static_cast<long long>(total / (2 * text.size())));
}

// Reports when box was first drawn and when the list held rows rows, then
// types filter; ends the application.
class StartupClock : public QObject
{
  public:
    StartupClock(QWidget &box, qint64 since, int rows, QString filter)
        : box(box), since(since), rows(rows), filter(std::move(filter))
    {
        box.installEventFilter(this);
        connect(&poll, &QTimer::timeout, this, &StartupClock::check);
        poll.start(1);
    }

  protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::Paint && shownAt < 0)
            shownAt = QDateTime::currentMSecsSinceEpoch() - since;
        return false;
    }

  private:
    void check()
    {
        if (view->topLevelItemCount() < rows)
            return;
        poll.stop();
        std::printf("window_ms=%lld list_ms=%lld rows=%d\n", static_cast<long long>(shownAt),
                    static_cast<long long>(QDateTime::currentMSecsSinceEpoch() - since),
                    view->topLevelItemCount());
        if (!filter.isEmpty())
            time_keystrokes(box, filter);
        std::fflush(stdout);
        QCoreApplication::exit(shownAt < 0 ? 1 : 0);
    }

    QWidget &box;
    const qint64 since;
    const int rows;
    const QString filter;
    qint64 shownAt = -1;
    QTimer poll;
};

// Resident memory in KiB.
long resident_kib()
{
    long pages = 0;
    long resident = 0;
    if (FILE *statm = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(statm, "%ld %ld", &pages, &resident) != 2)
            resident = 0;
        std::fclose(statm);
    }
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// The machine's CPU time so far, and the part of it the host of this virtual
// machine took ("steal"), in clock ticks.
struct CpuTimes {
    qint64 at = 0;
    long long steal = 0;
    long long total = 0;
};

CpuTimes cpu_times(qint64 at)
{
    CpuTimes times{at};
    long long field[8] = {};
    if (FILE *stat = std::fopen("/proc/stat", "r")) {
        if (std::fscanf(stat, "cpu %lld %lld %lld %lld %lld %lld %lld %lld", &field[0], &field[1],
                        &field[2], &field[3], &field[4], &field[5], &field[6], &field[7]) == 8) {
            times.steal = field[7];
            for (const long long ticks : field)
                times.total += ticks;
        }
        std::fclose(stat);
    }
    return times;
}

// The share of CPU time the host took from the first sample to the first
// one taken after until, in per cent.
int steal_percent(const std::vector<CpuTimes> &samples, qint64 until)
{
    for (const CpuTimes &sample : samples)
        if (sample.at > until && sample.total > samples.front().total)
            return static_cast<int>(100 * (sample.steal - samples.front().steal) /
                                    (sample.total - samples.front().total));
    return 0;
}

// Turns on the watch at an interval of seconds, notes the memory after each
// run, and reports it after runs runs; ends the application then.
class WatchMemory : public QObject
{
  public:
    WatchMemory(QWidget &box, int seconds, int runs) : runs(runs)
    {
        connect(view, &QHostView::refresh_done, this, &WatchMemory::runEnded);
        box.findChild<QSpinBox *>("watchInterval")->setValue(seconds);
        box.findChild<QCheckBox *>("watch")->setChecked(true);
    }

  private:
    void runEnded()
    {
        const long now = resident_kib();
        if (++counted == 1)
            first = now;
        highest = std::max(highest, now);
        if (counted < runs)
            return;
        std::printf("runs=%d rss_first_kib=%ld rss_highest_kib=%ld rss_last_kib=%ld\n", counted,
                    first, highest, now);
        std::fflush(stdout);
        QCoreApplication::exit(0);
    }

    const int runs;
    int counted = 0;
    long first = 0;
    long highest = 0;
};

// Saves a picture of box, each column a little wider than its widest text;
// false when it cannot be written.
bool grab_window(QWidget &box, const char *path)
{
    // A little room between the columns keeps the picture readable.
    for (int column = 0; column < QHostView::ColumnCount; ++column) {
        view->resizeColumnToContents(column);
        view->setColumnWidth(column, view->columnWidth(column) + 16);
    }
    if (box.grab().save(QString::fromLocal8Bit(path)))
        return true;
    std::fprintf(stderr, "gui_probe: cannot save %s\n", path);
    return false;
}

// Updates every row, PARALLEL at once, and takes the picture once the
// counts line has held until for a moment; ends the application then.
void start_batch(QWidget &box, const QStringList &batch, const char *grab)
{
    view->sortItems(QHostView::Ip, Qt::AscendingOrder);
    view->selectAll();
    box.findChild<QSpinBox *>("parallelUploads")->setValue(batch[1].toInt());
    auto *update = box.findChild<FirmwareUpdate *>();
    update->updateFirmware(batch[0]);
    // Unselected, the rows show the outcomes' colours.
    view->clearSelection();
    auto *poll = new QTimer(&box);
    QObject::connect(poll, &QTimer::timeout, &box, [&box, poll, update, until = batch[2], grab] {
        if (!box.findChild<QLabel *>("batchSummary")->text().contains(until)) {
            if (!update->isRunning()) {
                std::fprintf(stderr, "gui_probe: the batch ended without \"%s\"\n",
                             qPrintable(until));
                QCoreApplication::exit(1);
            }
            return;
        }
        poll->stop();
        QTimer::singleShot(1500, &box, [&box, grab] {
            QCoreApplication::exit(grab == nullptr || grab_window(box, grab) ? 0 : 1);
        });
    });
    poll->start(50);
}

} // namespace

int main(int argc, char *argv[])
{
    if (!display_available())
        return 1;
    QApplication app(argc, argv);
    const char *grab = nullptr;
    QString database;
    QStringList setup;
    QStringList batch;
    qint64 since = -1;
    int startupRows = 0;
    QString filter;
    int watchSeconds = 0;
    int watchRuns = 0;
    QSize size;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--grab") == 0 && i + 1 < argc) {
            grab = argv[++i];
        } else if (std::strcmp(argv[i], "--database") == 0 && i + 1 < argc) {
            database = QString::fromLocal8Bit(argv[++i]);
        } else if (std::strcmp(argv[i], "--size") == 0 && i + 2 < argc) {
            size = QSize(std::atoi(argv[i + 1]), std::atoi(argv[i + 2]));
            i += 2;
        } else if (std::strcmp(argv[i], "--setup") == 0 && i + 3 < argc) {
            setup = QStringList{argv[i + 1], argv[i + 2], argv[i + 3]};
            i += 3;
        } else if (std::strcmp(argv[i], "--batch") == 0 && i + 3 < argc) {
            batch = QStringList{argv[i + 1], argv[i + 2], argv[i + 3]};
            i += 3;
        } else if (std::strcmp(argv[i], "--startup") == 0 && i + 2 < argc) {
            since = std::atoll(argv[i + 1]);
            startupRows = std::atoi(argv[i + 2]);
            i += 2;
        } else if (std::strcmp(argv[i], "--filter") == 0 && i + 1 < argc) {
            filter = QString::fromLocal8Bit(argv[++i]);
        } else if (std::strcmp(argv[i], "--watch") == 0 && i + 2 < argc) {
            watchSeconds = std::atoi(argv[i + 1]);
            watchRuns = std::atoi(argv[i + 2]);
            i += 2;
        } else {
            std::fprintf(stderr, "usage: gui_probe [--database FILE] [--setup MAC IP NETMASK] "
                                 "[--batch IMAGE PARALLEL UNTIL] [--grab FILE] "
                                 "[--size WIDTH HEIGHT]\n"
                                 "       gui_probe --database FILE --startup SINCE ROWS "
                                 "[--filter TEXT]\n"
                                 "       gui_probe [--database FILE] --watch SECONDS RUNS\n");
            return 2;
        }
    }

    QWidget box;
    setup_main_window(box, database);
    if (size.isValid())
        box.resize(size);
    box.show();
    if (since >= 0) {
        StartupClock clock(box, since, startupRows, filter);
        return app.exec();
    }
    if (watchRuns > 0) {
        WatchMemory memory(box, watchSeconds, watchRuns);
        return app.exec();
    }

    QElapsedTimer clock;
    qint64 lastTick = 0;
    qint64 longestStall = 0;
    qint64 lastRow = -1;
    // Sampled every 50th tick: how much the host took while rows arrived.
    std::vector<CpuTimes> cpu;
    int ticks = 0;
    // A gap counts the wait for the next tick too: with ticks 1 ms apart it
    // overstates a stall by a millisecond at most.
    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    ticker.setInterval(1);
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        const qint64 now = clock.elapsed();
        longestStall = std::max(longestStall, now - lastTick);
        lastTick = now;
        if (++ticks % 50 == 0)
            cpu.push_back(cpu_times(now));
    });
    QObject::connect(view->model(), &QAbstractItemModel::rowsInserted,
                     [&] { lastRow = clock.elapsed(); });
    QObject::connect(view, &QHostView::refresh_done, [&](int rows) {
        if (!setup.isEmpty()) {
            QTreeWidgetItem *row =
                view->findItems(setup[0], Qt::MatchExactly, QHostView::Mac).value(0);
            if (row == nullptr) {
                std::fprintf(stderr, "gui_probe: no row for %s\n", qPrintable(setup[0]));
                QCoreApplication::exit(1);
                return;
            }
            // Fills the IP and netmask fields as a user would and accepts.
            QTimer::singleShot(0, [&] {
                const auto edits = dia->findChildren<QLineEdit *>(Qt::FindDirectChildrenOnly);
                edits[0]->setText(setup[1]);
                edits[1]->setText(setup[2]);
                setup.clear();
                dia->accept();
            });
            view->doubleClickedItem(row, QPoint(), QHostView::Mac);
            return;
        }
        if (!batch.isEmpty()) {
            start_batch(box, std::exchange(batch, {}), grab);
            return;
        }
        const qint64 ended = clock.elapsed();
        ticker.stop();
        std::printf("rows=%d last_row_ms=%lld run_ms=%lld longest_stall_ms=%lld steal_pct=%d\n",
                    rows, static_cast<long long>(lastRow), static_cast<long long>(ended),
                    static_cast<long long>(longestStall), steal_percent(cpu, lastRow));
        std::fflush(stdout);
        QCoreApplication::exit(grab == nullptr || grab_window(box, grab) ? 0 : 1);
    });
    // Pressed once the window is up, so start-up does not count as a stall.
    QTimer::singleShot(200, [&] {
        clock.start();
        ticker.start();
        cpu.push_back(cpu_times(0));
        discoverButton->click();
    });
    return app.exec();
}
