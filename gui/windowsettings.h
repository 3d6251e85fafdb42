// SPDX-License-Identifier: GPL-3.0-or-later
// What the window keeps between starts: its size, the list's column widths
// and order, the watch interval, and the folder the last image was chosen
// from. Kept per program name, so a test run never sees the user's.
#pragma once

class InstallDialog;
class QHostView;
class QSpinBox;
class QWidget;

struct WindowParts {
    QWidget *box;
    QHostView *list;
    QSpinBox *watchInterval;
    InstallDialog *dialog;
};

void restore_window_settings(const WindowParts &parts);
void save_window_settings(const WindowParts &parts);
