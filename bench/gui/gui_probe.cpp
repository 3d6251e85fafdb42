// Presses "Discover" in the real window and reports how the run went: rows
// listed, milliseconds from the press to the last row and to the end of the
// run, and the longest gap between ticks of a 5 ms timer on the GUI thread
// (how long the window stalled). With --grab FILE it saves a picture of the
// window once the run has ended.
#include "mainwindow.h"
#include "qhostview.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QPixmap>
#include <QPushButton>
#include <QTimer>
#include <cstdio>
#include <cstring>

int main(int argc, char *argv[])
{
    if (!display_available())
        return 1;
    QApplication app(argc, argv);
    const char *grab = nullptr;
    if (argc == 3 && std::strcmp(argv[1], "--grab") == 0) {
        grab = argv[2];
    } else if (argc != 1) {
        std::fprintf(stderr, "usage: gui_probe [--grab FILE]\n");
        return 2;
    }

    QWidget box;
    setup_main_window(box);
    box.show();

    QElapsedTimer clock;
    qint64 lastTick = 0;
    qint64 longestStall = 0;
    qint64 lastRow = -1;
    QTimer ticker;
    ticker.setInterval(5);
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        const qint64 now = clock.elapsed();
        longestStall = std::max(longestStall, now - lastTick);
        lastTick = now;
    });
    QObject::connect(view->model(), &QAbstractItemModel::rowsInserted,
                     [&] { lastRow = clock.elapsed(); });
    QObject::connect(view, &QHostView::refresh_done, [&](int rows) {
        const qint64 ended = clock.elapsed();
        ticker.stop();
        std::printf("rows=%d last_row_ms=%lld run_ms=%lld longest_stall_ms=%lld\n", rows,
                    static_cast<long long>(lastRow), static_cast<long long>(ended),
                    static_cast<long long>(longestStall));
        std::fflush(stdout);
        int status = 0;
        if (grab != nullptr && !box.grab().save(QString::fromLocal8Bit(grab))) {
            std::fprintf(stderr, "gui_probe: cannot save %s\n", grab);
            status = 1;
        }
        QCoreApplication::exit(status);
    });
    // Pressed once the window is up, so start-up does not count as a stall.
    QTimer::singleShot(200, [&] {
        clock.start();
        ticker.start();
        discoverButton->click();
    });
    return app.exec();
}
