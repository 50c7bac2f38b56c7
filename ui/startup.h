#pragma once

#include "serial/serial_link.h"

#include <functional>

class frm;

using StartupErrorReport = std::function<void(const PortError &)>;

// The real report: a message box captioned like the window, "Fehler <number>: <text>".
void showStartupError(const PortError &error);

// Loads the form and shows it, or reports the port failure and leaves it hidden.
// Returns the program's exit status so far: 0 when the window is shown, 1 otherwise.
int startForm(frm &form, const StartupErrorReport &report = showStartupError);
