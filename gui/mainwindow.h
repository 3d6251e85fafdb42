// SPDX-License-Identifier: GPL-3.0-or-later
// The window as the app starts it, shared by main and the tests.
#pragma once

class InstallDialog;
class QHostView;
class QPushButton;
class QWidget;

// Fills box with the host list above the "Discover" button and the status
// line with its "Cancel" button (Esc), connects them, gives the list its
// hidden setup dialog, and points view, discoverButton and dia at them.
void setup_main_window(QWidget &box);

// The window's parts, for those that drive it from outside; the window itself
// does not use them.
extern QHostView *view;
extern QPushButton *discoverButton;
extern InstallDialog *dia;

// False, after one line on stderr saying how to get one, when no display is
// configured for the window.
bool display_available();
