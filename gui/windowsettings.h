// SPDX-License-Identifier: GPL-3.0-or-later
// What the window keeps between starts: its size, the list's column widths
// and order, the watch interval, the folder the last image was chosen
// from, the batch options and the discovery options. Kept per program name, so a test run never
// sees the user's.
#pragma once

class DiscoveryOptions;
class InstallDialog;
class QHostView;
class QSpinBox;
class QWidget;

struct WindowParts {
    QWidget *box;
    QHostView *list;
    QSpinBox *watchInterval;
    InstallDialog *dialog;
    QSpinBox *parallelUploads;
    QSpinBox *verifySeconds;
    DiscoveryOptions *discovery;
};

void restore_window_settings(const WindowParts &parts);
void save_window_settings(const WindowParts &parts);
