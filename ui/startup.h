// SPDX-License-Identifier: MIT
#pragma once

#include "serial/serial_link.h"

#include <functional>

class frm;

using StartupErrorReport = std::function<void(const PortError &)>;

// "Fehler <number>: <text>.", what to do on the next line, the system's words on a third.
QString startupErrorText(const PortError &error);
// The real report: a message box captioned like the window, showing that text.
void showStartupError(const PortError &error);

// Loads the form and shows it, or reports the port failure and leaves it hidden.
// Returns the program's exit status so far: 0 when the window is shown, 1 otherwise.
int startForm(frm &form, const StartupErrorReport &report = showStartupError);
