#pragma once

// A reference model of the query exchange, written apart from the window's code, and the check
// of what the reply box may show. The fuzz target runs both beside the real window.

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

// The bytes a command text must become on the line, checked against the decoder: a character
// goes as the byte that decodes to it, else as '?'; a surrogate pair is one character.
inline std::string lineBytes(const QString &text)
{
    static const std::u16string encoder = [] {
        std::string all;
        for (int b = 0; b < 256; ++b)
            all.push_back(char(b));
        const std::u16string decoded = Windows1252::toUnicode(all);
        std::u16string byCharacter(0x10000, u'?');
        for (int b = 255; b >= 0; --b)
            byCharacter[decoded[std::size_t(b)]] = char16_t(b);
        return byCharacter;
    }();
    std::string out;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i].isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate()) {
            out.push_back('?'); // beyond the code page, and one character
            ++i;
            continue;
        }
        out.push_back(char(encoder[text[i].unicode()]));
    }
    return out;
}

// The exchange as the user and the device see it: buffer, countdown, timer, reply box.
struct Exchange
{
    std::string buffer;
    int countdown = 0;
    bool waiting = false;
    QString box;

    void append(std::string_view c)
    {
        buffer.append(c);
        if (buffer.size() > kBound)
            buffer.erase(0, buffer.size() - kBound);
    }
    void receive(std::string_view c)
    {
        if (c.size() == 1 && c[0] == kEtx) {
            if (goodFrame(buffer)) {
                box = shown(buffer) + QStringLiteral("{ETX}");
                waiting = false;
            } else {
                box = QStringLiteral("Prüfsummenfehler");
            }
        } else if (c.size() == 1 && (c[0] == kAck || c[0] == kNak)) {
            box =
                shown(buffer) + (c[0] == kAck ? QStringLiteral("{ACK}") : QStringLiteral("{NAK}"));
            waiting = false;
        }
        append(c);
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
        if (countdown <= 0) {
            box = QStringLiteral("Fehler : Timeout");
            waiting = false;
        } else {
            --countdown;
        }
    }
};

inline bool isPortError(const QString &text)
{
    static const QRegularExpression form(QStringLiteral("^Fehler : .+ \\(\\d+\\)$"),
                                         QRegularExpression::DotMatchesEverythingOption);
    return text != QStringLiteral("Fehler : Timeout") && form.match(text).hasMatch();
}

// One of the five outcomes, a port error, or nothing yet.
inline bool isOutcomeForm(const QString &text)
{
    if (text.isEmpty() || text == QStringLiteral("Prüfsummenfehler") ||
        text == QStringLiteral("Fehler : Timeout") || isPortError(text))
        return true;
    if (text.endsWith(QStringLiteral("{ACK}")) || text.endsWith(QStringLiteral("{NAK}")))
        return true;
    if (text.endsWith(QStringLiteral("{ETX}"))) {
        const QString frame = text.chopped(5);
        return goodFrame(Windows1252::fromUnicode(frame.toStdU16String()));
    }
    return false;
}

} // namespace model
