// SPDX-License-Identifier: MIT
#pragma once

#include "serial/serial_link.h"

#include <QString>

#include <vector>

// The serial ports a Linux sysfs tty class folder describes, found without opening any device:
// opening one raises and drops its modem lines, which can disturb what hangs on it.
std::vector<PortInfo> sysfsPorts(const QString &ttyClass = QStringLiteral("/sys/class/tty"));
