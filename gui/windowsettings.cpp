// SPDX-License-Identifier: GPL-3.0-or-later
#include "windowsettings.h"
#include "discoveryoptions.h"
#include "installdialog.h"
#include "qhostview.h"

#include <QCoreApplication>
#include <QHeaderView>
#include <QSettings>
#include <QSpinBox>

namespace
{

QSettings window_settings()
{
    // ~/.config/devscout/window.conf
    return QSettings(QCoreApplication::applicationName(), QStringLiteral("window"));
}

} // namespace

void restore_window_settings(const WindowParts &parts)
{
    QSettings settings = window_settings();
    parts.box->resize(settings.value("size", parts.box->size()).toSize());
    // A state saved with other columns would put them in the wrong places;
    // one saved before the Site column lacks only that last one, which the
    // header then adds at its end.
    const int columns = settings.value("columns").toInt();
    if (columns == QHostView::ColumnCount || columns == QHostView::Site)
        parts.list->header()->restoreState(settings.value("header").toByteArray());
    // The last batch's outcomes are gone: its column comes back with the next.
    parts.list->setColumnHidden(QHostView::Progress, true);
    parts.watchInterval->setValue(settings.value("watchInterval", 10).toInt());
    parts.parallelUploads->setValue(
        settings.value("parallelUploads", parts.parallelUploads->value()).toInt());
    parts.verifySeconds->setValue(
        settings.value("verifySeconds", parts.verifySeconds->value()).toInt());
    DiscoveryReach reach;
    // A target that is not an address any more leaves none.
    read_targets(settings.value("targets").toStringList().join(' '), &reach.targets, nullptr);
    reach.sourcePort = static_cast<uint16_t>(settings.value("sourcePort", 0).toUInt());
    reach.askRemembered = settings.value("askRemembered", true).toBool();
    parts.discovery->setReach(reach);
    const QString folder = settings.value("imageFolder").toString();
    if (!folder.isEmpty())
        parts.dialog->setImageFolder(folder);
}

void save_window_settings(const WindowParts &parts)
{
    QSettings settings = window_settings();
    settings.setValue("size", parts.box->size());
    settings.setValue("columns", int(QHostView::ColumnCount));
    settings.setValue("header", parts.list->header()->saveState());
    settings.setValue("watchInterval", parts.watchInterval->value());
    settings.setValue("imageFolder", parts.dialog->imageFolder());
    settings.setValue("parallelUploads", parts.parallelUploads->value());
    settings.setValue("verifySeconds", parts.verifySeconds->value());
    const DiscoveryReach &reach = parts.discovery->reach();
    settings.setValue("targets", targets_text(reach.targets).split('\n', Qt::SkipEmptyParts));
    settings.setValue("sourcePort", reach.sourcePort);
    settings.setValue("askRemembered", reach.askRemembered);
}
