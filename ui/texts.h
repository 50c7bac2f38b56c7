// SPDX-License-Identifier: MIT
#pragma once

#include "serial/serial_link.h"

#include <QString>

// Every word the user reads, German as the program's users are: the window's, the port
// failures', the start-up report's and those for a terminal. Only texts.cpp holds them.
namespace texts {

// The window.
QString caption(); // also the sender's name on standard error
QString sendLabel();
QString receiveLabel();
QString queryButton();
QString defaultCommand();
// What a screen reader says before and after each control's kind.
QString commandName();
QString commandDescription();
QString replyName();
QString replyDescription();
QString queryName();
QString queryDescription();
// The reply box: an answer's ending, and the outcomes without one.
QString etxMarker();
QString ackMarker();
QString nakMarker();
QString checksumError();
QString timeout();

// What went wrong with the port, in one line, without the number.
QString portErrorLine(const PortError &error);
// "Fehler : <line> (<number>)", how a port failure after start-up is shown in the reply box.
QString portErrorText(const PortError &error);
// The start-up report: "Fehler <number>: <line>." and what to do; the system's words where they
// add something. Where another port would help, the machine's other serial ports and how to
// make one of them port 1 on `system`, the Linux way through `standInCommand`.
QString startupErrorText(const PortError &error, PortSystem system = platform::hostSystem(),
                         const QString &standInCommand = QStringLiteral("tq5bus-port1"));
QString openDeviceManager();

// For a terminal, where the window cannot say it.
QString onStandardError(const QString &text); // "<caption>: <text>"
QString qtGermanMissing();
QString noDisplay(const QString &display);
QString noGraphicalInterface();

} // namespace texts
