// SPDX-License-Identifier: GPL-3.0-or-later
// Presses "Discover" in the real window and reports how the run went: rows
// listed, milliseconds from the press to the last row and to the end of the
// run, and the longest gap between ticks of a 5 ms timer on the GUI thread
// (how long the window stalled). With --setup MAC IP NETMASK it then sets up
// the device of that row through the setup dialog and waits for the run that
// follows. With --grab FILE it saves a picture of the window at the end.
#include "installdialog.h"
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
    QStringList setup;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--grab") == 0 && i + 1 < argc) {
            grab = argv[++i];
        } else if (std::strcmp(argv[i], "--setup") == 0 && i + 3 < argc) {
            setup = QStringList{argv[i + 1], argv[i + 2], argv[i + 3]};
            i += 3;
        } else {
            std::fprintf(stderr, "usage: gui_probe [--setup MAC IP NETMASK] [--grab FILE]\n");
            return 2;
        }
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
