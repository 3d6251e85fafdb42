// SPDX-License-Identifier: GPL-3.0-or-later
#include "mainwindow.h"
#include "installdialog.h"
#include "qhostview.h"

#include <QCursor>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>
#include <cstdio>
#include <cstdlib>

QHostView *view = nullptr;
QPushButton *discoverButton = nullptr;
InstallDialog *dia = nullptr;

void setup_main_window(QWidget &box)
{
    box.resize(750, 400);
    auto *layout = new QVBoxLayout(&box);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    auto *list = new QHostView(&box);
    layout->addWidget(list);
    auto *discover = new QPushButton(QObject::tr("Discover"), &box);
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
