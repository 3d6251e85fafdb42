// SPDX-License-Identifier: GPL-3.0-or-later
#include "inventory.h"
#include "mainwindow.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QWidget>
#include <cstdio>

int main(int argc, char *argv[])
{
    if (!display_available())
        return 1;
    QApplication app(argc, argv);
    QApplication::setApplicationName("devscout");
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QObject::tr("Finds embedded network devices on the local network and sets them up."));
    parser.addHelpOption();
    const QCommandLineOption database(
        "database",
        QObject::tr("Keeps the device inventory in FILE instead of %1.")
            .arg(Inventory::defaultPath()),
        QObject::tr("FILE"));
    const QCommandLineOption noInventory("no-inventory",
                                         QObject::tr("Remembers no devices between runs."));
    parser.addOptions({database, noInventory});
    // Bad usage ends with one line and status 2, as with devscout-cli;
    // process() then answers --help and --help-all.
    if (!parser.parse(QCoreApplication::arguments())) {
        std::fprintf(stderr, "devscout: %s\n", qPrintable(parser.errorText()));
        return 2;
    }
    parser.process(app);
    if (parser.isSet(database) && parser.isSet(noInventory)) {
        std::fprintf(stderr, "devscout: --database and --no-inventory exclude each other\n");
        return 2;
    }

    QWidget box;
    setup_main_window(box, parser.isSet(noInventory) ? QString()
                           : parser.isSet(database)  ? parser.value(database)
                                                     : Inventory::defaultPath());
    box.show();
    return app.exec();
}
