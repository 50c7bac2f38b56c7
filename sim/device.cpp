// SPDX-License-Identifier: MIT
#include "device.h"

#include "protocol/cp1252.h"
#include "protocol/frame.h"

#include <QRegularExpression>
#include <QTextStream>

namespace sim {

// The rules `*` and `!bad`, under keys no frame's text can be: an ETX ends a frame.
const std::string otherGoodKey = "\x03*", badKey = "\x03!bad";

// Line bytes in the log: quoted, control characters, '"' and '\' escaped.
static QString logQuoted(std::string_view bytes)
{
    QString out = "\"";
    for (const char16_t c : Windows1252::toUnicode(bytes))
        out += c < 0x20 || c == 0x7F   ? QString::asprintf("\\x%02X", c)
               : c == '"' || c == '\\' ? QString("\\") + QChar(c)
                                       : QString(QChar(c));
    return out + '"';
}

// The bytes themselves after a log line, if there are any.
static QString hex(std::string_view bytes)
{
    const QByteArray digits = QByteArray(bytes.data(), qsizetype(bytes.size())).toHex(' ');
    return bytes.empty() ? QString() : " [" + QString::fromLatin1(digits.toUpper()) + ']';
}

std::string Answer::bytes(const std::string &frame) const
{
    using namespace Steuerzeichen;
    if (kind == Kind::Ack || kind == Kind::Nak)
        return {kind == Kind::Ack ? ACK : NAK};
    if (!hasText())
        return kind == Kind::Echo ? frame : std::string();
    // The bad checksum is that of the text one higher: well-formed, uppercase, wrong.
    std::string sum = Funktionen::Pruefsumme(kind == Kind::BadChecksum ? text + '\x01' : text);
    if (kind == Kind::Lowercase)
        sum = QByteArray::fromStdString(sum).toLower().toStdString();
    return (kind == Kind::AckReply ? std::string{ACK} : "") + text + sum + ETX;
}

QString Answer::describe() const
{
    return kindNames[int(kind)] + (hasText() ? ' ' + logQuoted(text) : QString());
}

std::optional<std::string> lineBytes(const QString &text, QString &error)
{
    std::string bytes = Windows1252::fromUnicode(text.toStdU16String());
    if (QString::fromStdU16String(Windows1252::toUnicode(bytes)) == text)
        return bytes;
    error = "'" + text + "' has a character Windows-1252 cannot hold";
    return std::nullopt;
}

std::optional<Rules> parseRules(const QByteArray &content, const QString &text, QString &error)
{
    // A quoted command or a word, the answer, and the rest of the line as its text, less one pair
    // of quotes around it.
    static const QRegularExpression rule(
        R"re(^(?|"([^"]*)"|([^"\s]\S*))\s*(\S*)\s*(?|"(.*)"|(.*))$)re");
    Rules rules;
    QTextStream in(content); // takes off a BOM, and the CR of a CRLF
    for (int number = 1; !in.atEnd(); ++number) {
        const QString line = in.readLine().trimmed();
        if (line.isEmpty() || line.startsWith('#'))
            continue;
        const auto refuse = [&](const QString &why) {
            error = "line " + QString::number(number) + ": " + why;
            return std::nullopt;
        };
        const QRegularExpressionMatch match = rule.match(line);
        if (!match.hasMatch())
            return refuse("missing closing quote");
        const QString name = match.captured(2);
        if (!kindNames.contains(name))
            return refuse((name.isEmpty() ? "no answer" : "unknown answer '" + name + "'") +
                          " (one of " + kindNames.join(", ") + ")");
        Answer answer{Kind(kindNames.indexOf(name))};
        const bool hasOwnText = match.capturedEnd(2) < line.size();
        if (hasOwnText && !answer.hasText())
            return refuse("'" + name + "' takes no text");
        const auto command = lineBytes(match.captured(1), error);
        const auto ownText = lineBytes(hasOwnText ? match.captured(3) : text, error);
        if (!command || !ownText)
            return refuse(error);
        answer.text = *ownText;

        // The first rule for a command holds.
        const QString word = line.startsWith('"') ? QString() : match.captured(1);
        rules.emplace(word == "*" ? otherGoodKey : word == "!bad" ? badKey : *command, answer);
    }
    return rules;
}

std::vector<Event> Device::receive(std::string_view bytes)
{
    // An echoing device is a looped-back line: every byte goes back as it comes.
    const bool lineEcho = fallback.kind == Kind::Echo;
    std::vector<Event> events;
    if (lineEcho)
        events.push_back({"TX echo" + hex(bytes), std::string(bytes)});
    for (char c : bytes) {
        pending += c;
        if (c != Steuerzeichen::ETX)
            continue;
        const std::string frame = std::exchange(pending, {});
        // The two characters before the ETX are its checksum; with fewer there is none.
        const std::string_view before(frame.data(), frame.size() - 1);
        const std::string text(before.size() < 2 ? before : before.substr(0, before.size() - 2));
        const std::string_view checksum = before.substr(text.size());
        const bool good = frameIsGood(before);
        const QString sum = QString::fromStdString(Funktionen::Pruefsumme(text));
        const QString verdict = checksum.empty() ? " no checksum"
                                : good           ? " checksum " + sum + " good"
                                       : " checksum " + logQuoted(checksum) + " bad, expected " + sum;
        events.push_back({"RX " + logQuoted(text) + verdict + hex(frame), {}});

        // A good frame gets the rule for its text, else `*`, else the fallback; a bad one `!bad`,
        // else NAK, unless the device is silent or echoes.
        const bool nak = !good && fallback.kind != Kind::Silence && fallback.kind != Kind::Echo;
        auto rule = rules.find(good ? text : badKey);
        if (good && rule == rules.end())
            rule = rules.find(otherGoodKey);
        const Answer answer =
            rule != rules.end() ? rule->second : (nak ? Answer{Kind::Nak} : fallback);
        if (lineEcho && answer.kind == Kind::Echo)
            continue; // on its way back already
        const std::string out = answer.bytes(frame);
        events.push_back({"TX " + answer.describe() + hex(out), out});
    }
    return events;
}

} // namespace sim
