// SPDX-License-Identifier: GPL-3.0-or-later
#include "mainwindow.h"
#include "addressplandialog.h"
#include "batchoptions.h"
#include "discoveryoptions.h"
#include "emptyrunhint.h"
#include "export.h"
#include "firmwareupdate.h"
#include "installdialog.h"
#include "qhostview.h"
#include "windowsettings.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QCursor>
#include <QFileDialog>
#include <QFileInfo>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QSaveFile>
#include <QShortcut>
#include <QSpinBox>
#include <QToolButton>
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
    // Work on the selected devices, each of which has its row's context
    // menu too.
    auto *batchButton = new QToolButton(&box);
    batchButton->setObjectName("batchButton");
    batchButton->setText(QObject::tr("Batch"));
    batchButton->setPopupMode(QToolButton::InstantPopup);
    auto *batchMenu = new QMenu(batchButton);
    QAction *updateAction = batchMenu->addAction(QObject::tr("Update firmware…"));
    updateAction->setObjectName("updateFirmware");
    QAction *assignAction = batchMenu->addAction(QObject::tr("Assign addresses…"));
    assignAction->setObjectName("assignAddresses");
    batchMenu->addSeparator();
    QAction *optionsAction = batchMenu->addAction(QObject::tr("Batch options…"));
    QAction *discoveryAction = batchMenu->addAction(QObject::tr("Discovery options…"));
    discoveryAction->setObjectName("discoveryOptions");
    batchButton->setMenu(batchMenu);
    toolRow->addWidget(batchButton);

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
    // Why the last run found nothing, in full.
    auto *detailsButton = new QPushButton(QObject::tr("Details…"), &box);
    detailsButton->setObjectName("detailsButton");
    statusRow->addWidget(detailsButton);
    auto *cancelButton = new QPushButton(QObject::tr("Cancel"), &box);
    cancelButton->setObjectName("cancelButton");
    cancelButton->setShortcut(Qt::Key_Escape);
    cancelButton->setEnabled(false);
    statusRow->addWidget(cancelButton);
    auto *dialog = new InstallDialog(QObject::tr("Mac"), &box);
    list->setSetupDialog(dialog);
    auto *update = new FirmwareUpdate(list, dialog, &box);
    layout->insertWidget(layout->indexOf(list) + 1, update);
    auto *options = new BatchOptions(&box);
    auto *discovery = new DiscoveryOptions(&box);
    list->addRowActions({updateAction, assignAction});

    // The item signals carry no position; the slots take the pointer's, in
    // the list's coordinates. A click with Ctrl or Shift selects rows: it
    // opens no page.
    const auto pointer = [list] { return list->viewport()->mapFromGlobal(QCursor::pos()); };
    QObject::connect(
        list, &QTreeWidget::itemClicked, list, [list, pointer](QTreeWidgetItem *item, int column) {
            if (QGuiApplication::keyboardModifiers() & (Qt::ControlModifier | Qt::ShiftModifier))
                return;
            list->clickedItem(item, pointer(), column);
        });
    QObject::connect(list, &QTreeWidget::itemDoubleClicked, list,
                     [list, pointer](QTreeWidgetItem *item, int column) {
                         list->doubleClickedItem(item, pointer(), column);
                     });
    QObject::connect(discover, &QPushButton::clicked, list, &QHostView::refresh);
    QObject::connect(cancelButton, &QPushButton::clicked, list, &QHostView::cancel);
    // Nothing that starts a run or a batch while one is under way, or while
    // a batch holds the list.
    const auto idleChanged = [list, discover, updateAction, assignAction] {
        const bool idle = !list->isBusy() && !list->isHeld();
        for (QAction *action : {updateAction, assignAction})
            action->setEnabled(idle);
        discover->setEnabled(idle);
    };
    QObject::connect(list, &QHostView::busyChanged, discover, idleChanged);
    QObject::connect(list, &QHostView::heldChanged, discover, idleChanged);
    QObject::connect(updateAction, &QAction::triggered, update, &FirmwareUpdate::chooseImage);
    QObject::connect(assignAction, &QAction::triggered, list, [&box, list] {
        auto *plan = new AddressPlanDialog(list, &box);
        plan->setAttribute(Qt::WA_DeleteOnClose);
        plan->open();
    });
    QObject::connect(optionsAction, &QAction::triggered, options, &QDialog::open);
    QObject::connect(discoveryAction, &QAction::triggered, discovery, &QDialog::open);
    QObject::connect(discovery, &DiscoveryOptions::reachChanged, list, &QHostView::setReach);
    QObject::connect(options->parallelBox(), &QSpinBox::valueChanged, update,
                     &FirmwareUpdate::setParallel);
    QObject::connect(options->verifyBox(), &QSpinBox::valueChanged, update,
                     &FirmwareUpdate::setVerifySeconds);
    QObject::connect(update, &FirmwareUpdate::statusMessage, statusLine, &QLabel::setText);
    QObject::connect(list, &QHostView::busyChanged, cancelButton, &QPushButton::setEnabled);
    QObject::connect(list, &QHostView::statusMessage, statusLine, &QLabel::setText);
    new EmptyRunHint(list, statusLine, detailsButton, &box);
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

    const WindowParts parts{
        &box, list, watchInterval, dialog, options->parallelBox(), options->verifyBox(), discovery};
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
