// SPDX-License-Identifier: GPL-3.0-or-later
#include "mainwindow.h"

#include <QApplication>
#include <QWidget>

int main(int argc, char *argv[])
{
    if (!display_available())
        return 1;
    QApplication app(argc, argv);
    QWidget box;
    setup_main_window(box);
    box.show();
    return app.exec();
}
