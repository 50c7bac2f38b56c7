#pragma once

// A reference model of the query exchange, written apart from the window's code. The fuzz target
// runs it beside the real window.

#include "protocol/cp1252.h"
#include "ui/receive_buffer.h"

#include <QRegularExpression>
#include <QString>

#include <cstdio>
#include <string>
#include <string_view>

namespace model {

inline constexpr std::size_t kBound = ReceiveBuffer::kDefaultBound;
inline constexpr char kEtx = 0x03, kAck = 0x06, kNak = 0x15;

inline std::string checksum(std::string_view text)
{
    unsigned sum = 0;
    for (unsigned char c : text)
        sum += c;
    char hex[3];
    std::snprintf(hex, sizeof hex, "%02X", sum & 0xFFu);
    return hex;
}

inline bool goodFrame(std::string_view beforeEtx)
{
    return beforeEtx.size() >= 2 && checksum(beforeEtx.substr(0, beforeEtx.size() - 2)) ==
                                        beforeEtx.substr(beforeEtx.size() - 2);
}

inline QString shown(std::string_view bytes)
{
    return QString::fromStdU16String(Windows1252::toUnicode(bytes));
}

// "Fehler : <text> (<number>)", the form of a port failure in the reply box.
inline bool isPortError(const QString &text)
{
    static const QRegularExpression form(QStringLiteral("^Fehler : .+ \\(\\d+\\)$"),
                                         QRegularExpression::DotMatchesEverythingOption);
    return text != QStringLiteral("Fehler : Timeout") && form.match(text).hasMatch();
}

// The exchange as the user and the device see it: buffer, countdown, timer, reply box.
struct Exchange
{
    std::string buffer;
    int countdown = 0;
    bool waiting = false;
    QString box;

    void receive(std::string_view c)
    {
        const auto settle = [&](const char *marker) {
            box = shown(buffer) + QLatin1String(marker);
            waiting = false;
        };
        if (c.size() == 1 && c[0] == kEtx) {
            if (goodFrame(buffer))
                settle("{ETX}");
            else
                box = QStringLiteral("Prüfsummenfehler");
        } else if (c.size() == 1 && c[0] == kAck) {
            settle("{ACK}");
        } else if (c.size() == 1 && c[0] == kNak) {
            settle("{NAK}");
        }
        buffer.append(c);
        if (buffer.size() > kBound)
            buffer.erase(0, buffer.size() - kBound);
    }
    // A press whose frame went out; a press that met a closed port is portError().
    void pressSent()
    {
        buffer.clear();
        countdown = 20;
        waiting = true;
    }
    void portError(const QString &shownError)
    {
        waiting = false;
        box = shownError;
    }
    void tick()
    {
        if (countdown > 0) {
            --countdown;
            return;
        }
        box = QStringLiteral("Fehler : Timeout");
        waiting = false;
    }
};

} // namespace model
