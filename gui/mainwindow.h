// SPDX-License-Identifier: GPL-3.0-or-later
// The window as the app starts it, shared by main and the tests.
#pragma once

#include <QString>

class InstallDialog;
class QHostView;
class QPushButton;
class QWidget;

// Fills box with the filter box, the watch and export controls, the "Batch"
// menu (also in the rows' context menu), the host list, the batch bar (a
// FirmwareUpdate, hidden until a batch starts), the "Discover" button and
// the status line with its "Details…" button (the doctor's report after a
// run that no device answered) and its "Cancel" button (Esc), connects them,
// gives the list its hidden setup dialog, and points view, discoverButton and
// dia at them. With a database path the list shows the devices remembered there
// and records every run in it; without one it remembers nothing. The size,
// columns, watch interval, image folder, batch and discovery options of the last
// window are restored, and saved when the application quits.
void setup_main_window(QWidget &box, const QString &database = QString());

// The window's parts, for those that drive it from outside; the window itself
// does not use them.
extern QHostView *view;
extern QPushButton *discoverButton;
extern InstallDialog *dia;

// False, after one line on stderr saying how to get one, when no display is
// configured for the window.
bool display_available();
