// The window as the app starts it, shared by main and the tests.
#pragma once

class QWidget;

// Fills box with the host list above the "Discover" button and the status
// line with its "Cancel" button (Esc), connects them, creates the hidden setup dialog and sets
// view, discoverButton and dia.
void setup_main_window(QWidget &box);

// False, after one line on stderr saying how to get one, when no display is
// configured for the window.
bool display_available();
