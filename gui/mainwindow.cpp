// SPDX-License-Identifier: GPL-3.0-or-later
#include "mainwindow.h"
#include "export.h"
#include "installdialog.h"
#include "qhostview.h"
#include "windowsettings.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QCursor>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSaveFile>
#include <QShortcut>
#include <QSpinBox>
#include <QVBoxLayout>
#include <cstdio>
#include <cstdlib>

QHostView *view = nullptr;
QPushButton *discoverButton = nullptr;
InstallDialog *dia = nullptr;

namespace
{

// Asks where to, and writes the rows shown as CSV, JSON or an aligned table,
// by the name's suffix or else the chosen filter; says how it went in
// statusLine.
void export_list(QWidget *box, const QHostView *list, QLabel *statusLine)
{
    const std::pair<QString, OutputFormat> formats[] = {
        {QObject::tr("CSV (*.csv)"), OutputFormat::Csv},
        {QObject::tr("JSON (*.json)"), OutputFormat::Json},
        {QObject::tr("Text table (*.txt)"), OutputFormat::Table}};
    QStringList filters;
    for (const auto &format : formats)
        filters << format.first;
    QString filter = filters[0];
    QString path = QFileDialog::getSaveFileName(box, QObject::tr("Export the list"), QString(),
                                                filters.join(";;"), &filter);
    if (path.isEmpty())
        return;
    OutputFormat format = formats[std::max<qsizetype>(0, filters.indexOf(filter))].second;
    const QString suffix = QFileInfo(path).suffix().toLower();
    if (suffix == "csv" || suffix == "json" || suffix == "txt")
        format = formats[suffix == "csv" ? 0 : suffix == "json" ? 1 : 2].second;
    else
        path += format == OutputFormat::Csv    ? ".csv"
                : format == OutputFormat::Json ? ".json"
                                               : ".txt";
    const QList<const HostItem *> rows = list->shownRows();
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(export_rows(rows, format)) < 0 ||
        !file.commit()) {
        statusLine->setText(QObject::tr("Could not write %1: %2").arg(path, file.errorString()));
        return;
    }
    statusLine->setText(QObject::tr("Exported %1 rows to %2").arg(rows.size()).arg(path));
}

} // namespace

void setup_main_window(QWidget &box, const QString &database)
{
    box.resize(900, 400);
    auto *layout = new QVBoxLayout(&box);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    // Above the list: what it shows, and how it is kept up to date.
    auto *toolRow = new QHBoxLayout;
    toolRow->setContentsMargins(4, 4, 4, 4);
    layout->addLayout(toolRow);
    auto *filter = new QLineEdit(&box);
    filter->setObjectName("filter");
    filter->setPlaceholderText(QObject::tr("Filter (Ctrl+F)"));
    filter->setClearButtonEnabled(true);
    toolRow->addWidget(filter, 1);
    auto *showAbsent = new QCheckBox(QObject::tr("Show absent devices"), &box);
    showAbsent->setObjectName("showAbsent");
    showAbsent->setChecked(true);
    toolRow->addWidget(showAbsent);
    auto *watch = new QCheckBox(QObject::tr("Watch every"), &box);
    watch->setObjectName("watch");
    toolRow->addWidget(watch);
    auto *watchInterval = new QSpinBox(&box);
    watchInterval->setObjectName("watchInterval");
    watchInterval->setRange(1, 24 * 3600);
    watchInterval->setValue(10);
    watchInterval->setSuffix(QObject::tr(" s"));
    toolRow->addWidget(watchInterval);
    auto *exportButton = new QPushButton(QObject::tr("Export…"), &box);
    exportButton->setObjectName("exportButton");
    toolRow->addWidget(exportButton);

    auto *list = new QHostView(&box);
    layout->addWidget(list);
    auto *discover = new QPushButton(QObject::tr("Discover"), &box);
    discover->setShortcut(Qt::Key_F5);
    layout->addWidget(discover);
    // How the last setup or install went, and the way to stop the one under way.
    auto *statusRow = new QHBoxLayout;
    layout->addLayout(statusRow);
    auto *statusLine = new QLabel(&box);
    statusLine->setObjectName("statusLine");
    statusLine->setContentsMargins(4, 2, 4, 2);
    statusRow->addWidget(statusLine, 1);
    auto *cancelButton = new QPushButton(QObject::tr("Cancel"), &box);
    cancelButton->setObjectName("cancelButton");
    cancelButton->setShortcut(Qt::Key_Escape);
    cancelButton->setEnabled(false);
    statusRow->addWidget(cancelButton);
    auto *dialog = new InstallDialog(QObject::tr("Mac"), &box);
    list->setSetupDialog(dialog);

    // The item signals carry no position; the slots take the pointer's, in
    // the list's coordinates.
    const auto pointer = [list] { return list->viewport()->mapFromGlobal(QCursor::pos()); };
    QObject::connect(list, &QTreeWidget::itemClicked, list,
                     [list, pointer](QTreeWidgetItem *item, int column) {
                         list->clickedItem(item, pointer(), column);
                     });
    QObject::connect(list, &QTreeWidget::itemDoubleClicked, list,
                     [list, pointer](QTreeWidgetItem *item, int column) {
                         list->doubleClickedItem(item, pointer(), column);
                     });
    QObject::connect(discover, &QPushButton::clicked, list, &QHostView::refresh);
    QObject::connect(cancelButton, &QPushButton::clicked, list, &QHostView::cancel);
    QObject::connect(list, &QHostView::busyChanged, discover, &QPushButton::setDisabled);
    QObject::connect(list, &QHostView::busyChanged, cancelButton, &QPushButton::setEnabled);
    QObject::connect(list, &QHostView::statusMessage, statusLine, &QLabel::setText);
    QObject::connect(filter, &QLineEdit::textChanged, list, &QHostView::setFilterText);
    QObject::connect(showAbsent, &QCheckBox::toggled, list, &QHostView::setShowAbsent);
    QObject::connect(watchInterval, &QSpinBox::valueChanged, list, &QHostView::setWatchInterval);
    QObject::connect(watch, &QCheckBox::toggled, list, &QHostView::setWatch);
    QObject::connect(exportButton, &QPushButton::clicked, list,
                     [&box, list, statusLine] { export_list(&box, list, statusLine); });
    auto *find = new QShortcut(QKeySequence::Find, &box);
    QObject::connect(find, &QShortcut::activated, filter, [filter] {
        filter->setFocus(Qt::ShortcutFocusReason);
        filter->selectAll();
    });

    const WindowParts parts{&box, list, watchInterval, dialog};
    restore_window_settings(parts);
    QObject::connect(qApp, &QCoreApplication::aboutToQuit, &box,
                     [parts] { save_window_settings(parts); });
    list->openInventory(database);

    view = list;
    discoverButton = discover;
    dia = dialog;
}

bool display_available()
{
    for (const char *name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"}) {
        const char *value = std::getenv(name);
        if (value != nullptr && *value != '\0')
            return true;
    }
    std::fprintf(stderr, "devscout: no display to open the window on: set DISPLAY, or run it "
                         "under a virtual one (xvfb-run devscout)\n");
    return false;
}
