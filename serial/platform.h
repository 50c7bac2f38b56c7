// SPDX-License-Identifier: MIT
#pragma once

#include <QSerialPort>
#include <QSocketNotifier>
#include <QString>

#include <cstdint>
#include <memory>
#include <optional>

// How a system names its ports and lets another port become port 1.
enum class PortSystem { Windows, Linux };

// What only the running system's own calls can tell. On Windows each answers "nothing known":
// its ports report a vanished device through the port's own errors.
namespace platform {

// The system this program runs on.
PortSystem hostSystem();

// What handle() gives: a HANDLE on Windows, a descriptor elsewhere.
using PortHandle = decltype(std::declval<QSerialPort &>().handle());

// The device node's number, for character devices; a link or a bind mount has its target's.
std::optional<std::uint64_t> deviceNumber(const QString &path);
// A pseudo-terminal, or an 8250 port with no UART behind it.
bool unusable(const QString &path);
// The node is there, but nothing answers behind it (EIO, ENXIO, ENODEV on open or settings).
bool noHardwareBehind(const QString &path);
// This user may read and write the node; true where the system does not say.
bool mayOpen(const QString &path);
// Wakes when the line hangs up; null where the system has no such notice.
std::unique_ptr<QSocketNotifier> watchForHangUp(PortHandle handle);
bool hungUp(PortHandle handle);

} // namespace platform
