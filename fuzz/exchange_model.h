#pragma once

// A reference model of the query exchange, written apart from the window's code. The fuzz target
// runs it beside the real window.

#include "protocol/cp1252.h"
#include "ui/receive_buffer.h"

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
            box = QString::fromStdU16String(Windows1252::toUnicode(buffer)) + marker;
            waiting = false;
        };
        const std::size_t n = buffer.size();
        if (c == std::string_view(&kEtx, 1) && n >= 2 &&
            checksum(std::string_view(buffer).substr(0, n - 2)) == buffer.substr(n - 2))
            settle("{ETX}");
        else if (c == std::string_view(&kEtx, 1))
            box = QStringLiteral("Prüfsummenfehler");
        else if (c == std::string_view(&kAck, 1))
            settle("{ACK}");
        else if (c == std::string_view(&kNak, 1))
            settle("{NAK}");
        buffer.append(c);
        if (buffer.size() > kBound)
            buffer.erase(0, buffer.size() - kBound);
    }
    // A press whose frame went out; a press that met a closed port shows a port error instead.
    void press(bool sent, const QString &shown)
    {
        buffer.clear();
        countdown = 20;
        waiting = sent;
        if (!sent)
            box = shown;
    }
    void tick()
    {
        if (countdown-- > 0)
            return;
        box = QStringLiteral("Fehler : Timeout");
        waiting = false;
    }
};

// "Fehler : <text> (<number>)", how a port failure shows in the reply box.
inline bool isPortError(const QString &text)
{
    return text.startsWith(QStringLiteral("Fehler : ")) && text.endsWith(u')') &&
           text != QStringLiteral("Fehler : Timeout");
}

} // namespace model
