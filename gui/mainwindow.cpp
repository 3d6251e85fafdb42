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

namespace
{

// The item signals carry no position; the slots take the pointer's, in the
// list's coordinates.
QPoint pointer_position()
{
    return view->viewport()->mapFromGlobal(QCursor::pos());
}

} // namespace

void setup_main_window(QWidget &box)
{
    box.resize(750, 400);
    auto *layout = new QVBoxLayout(&box);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    view = new QHostView(&box);
    layout->addWidget(view);
    discoverButton = new QPushButton("Discover", &box);
    layout->addWidget(discoverButton);
    // How the last setup or install went, and the way to stop the one under way.
    auto *statusRow = new QHBoxLayout;
    layout->addLayout(statusRow);
    auto *statusLine = new QLabel(&box);
    statusLine->setObjectName("statusLine");
    statusLine->setContentsMargins(4, 2, 4, 2);
    statusRow->addWidget(statusLine, 1);
    auto *cancelButton = new QPushButton("Cancel", &box);
    cancelButton->setObjectName("cancelButton");
    cancelButton->setShortcut(Qt::Key_Escape);
    cancelButton->setEnabled(false);
    statusRow->addWidget(cancelButton);

    QObject::connect(discoverButton, &QPushButton::clicked, view, &QHostView::refresh);
    QObject::connect(view, &QTreeWidget::itemClicked, view, [](QTreeWidgetItem *item, int column) {
        view->clickedItem(item, pointer_position(), column);
    });
    QObject::connect(view, &QTreeWidget::itemDoubleClicked, view,
                     [](QTreeWidgetItem *item, int column) {
                         view->doubleClickedItem(item, pointer_position(), column);
                     });

    QObject::connect(view, &QHostView::statusMessage, statusLine, &QLabel::setText);
    QObject::connect(cancelButton, &QPushButton::clicked, view, &QHostView::cancel);
    QObject::connect(view, &QHostView::busyChanged, cancelButton, &QPushButton::setEnabled);

    dia = new InstallDialog("Mac");
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
