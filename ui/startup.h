// SPDX-License-Identifier: MIT
#pragma once

#include "serial/serial_link.h"

#include <functional>

class frm;

using StartupErrorReport = std::function<void(const PortError &)>;

// How a user starts this program with another device as port 1: the command installed beside
// it, by its bare name where the search path finds it there.
QString standInCommand();
// The real report: a message box captioned like the window, showing texts::startupErrorText; on
// Windows with a button that opens Device Manager.
void showStartupError(const PortError &error);

// Loads the form and shows it, or reports the port failure and leaves it hidden.
// The first time, it installs Qt's own texts in German, from the program's translations/ folder
// or the system's Qt. Returns the program's exit status so far: 0 when the window is shown, 1
// otherwise.
int startForm(frm &form, const StartupErrorReport &report = showStartupError);
