#include "device.h"

#include "protocol/cp1252.h"
#include "protocol/frame.h"

#include <QRegularExpression>
#include <QTextStream>

#include <utility>

namespace sim {

namespace {

// Line bytes in the log: quoted, control characters, '"' and '\' escaped.
QString quoted(std::string_view bytes)
{
    QString out = "\"";
    for (const char16_t c : Windows1252::toUnicode(bytes)) {
        if (c < 0x20 || c == 0x7F)
            out += QString::asprintf("\\x%02X", c);
        else
            out += (c == '"' || c == '\\' ? "\\" : "") + QString(QChar(c));
    }
    return out + '"';
}

QString hex(std::string_view bytes)
{
    const QByteArray digits = QByteArray(bytes.data(), qsizetype(bytes.size())).toHex(' ');
    return " [" + QString::fromLatin1(digits.toUpper()) + ']';
}

std::string answerBytes(const Answer &answer, const std::string &frame)
{
    using namespace Steuerzeichen;
    if (answer.kind == Kind::Ack || answer.kind == Kind::Nak)
        return {answer.kind == Kind::Ack ? ACK : NAK};
    if (!hasText(answer.kind))
        return answer.kind == Kind::Echo ? frame : std::string();
    std::string sum = Funktionen::Pruefsumme(answer.text);
    if (answer.kind == Kind::BadChecksum) // the text one higher: well-formed, uppercase, wrong
        sum = Funktionen::Pruefsumme(answer.text + '\x01');
    if (answer.kind == Kind::Lowercase)
        sum = QByteArray::fromStdString(sum).toLower().toStdString();
    return (answer.kind == Kind::AckReply ? std::string{ACK} : "") + answer.text + sum + ETX;
}

// A good frame gets the rule for its text, else `*`, else the fallback; a bad one `!bad`, else
// NAK, unless the device is silent or echoes.
Answer choose(const Rules &rules, const Answer &fallback, bool good, const std::string &text)
{
    if (good) {
        const auto rule = rules.byText.find(text);
        return rule != rules.byText.end() ? rule->second : rules.otherGood.value_or(fallback);
    }
    if (rules.bad)
        return *rules.bad;
    const bool keep = fallback.kind == Kind::Silence || fallback.kind == Kind::Echo;
    return keep ? fallback : Answer{Kind::Nak, {}};
}

} // namespace

QString describe(const Answer &answer)
{
    const QString name = kindNames[int(answer.kind)];
    return hasText(answer.kind) ? name + ' ' + quoted(answer.text) : name;
}

std::optional<std::string> lineBytes(const QString &text, QString &error)
{
    std::string bytes = Windows1252::fromUnicode(text.toStdU16String());
    if (QString::fromStdU16String(Windows1252::toUnicode(bytes)) == text)
        return bytes;
    error = "'" + text + "' has a character Windows-1252 cannot hold";
    return std::nullopt;
}

std::optional<Rules> parseRules(const QByteArray &content, const QString &defaultText,
                                QString &error)
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
        const Kind kind = Kind(kindNames.indexOf(name));
        const bool hasOwnText = match.capturedEnd(2) < line.size();
        if (hasOwnText && !hasText(kind))
            return refuse("'" + name + "' takes no text");
        QString why;
        const auto command = lineBytes(match.captured(1), why);
        const auto text = lineBytes(hasOwnText ? match.captured(3) : defaultText, why);
        if (!command || !text)
            return refuse(why);

        // The first rule for a command holds.
        const QString word = line.startsWith('"') ? QString() : match.captured(1);
        auto &special = word == "*" ? rules.otherGood : rules.bad;
        if (word != "*" && word != "!bad")
            rules.byText.emplace(*command, Answer{kind, *text});
        else if (!special)
            special = Answer{kind, *text};
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
        QString verdict = " checksum " + sum + " good";
        if (checksum.empty())
            verdict = " no checksum";
        else if (!good)
            verdict = " checksum " + quoted(checksum) + " bad, expected " + sum;
        events.push_back({"RX " + quoted(text) + verdict + hex(frame), {}});

        const Answer answer = choose(rules, fallback, good, text);
        if (lineEcho && answer.kind == Kind::Echo)
            continue; // on its way back already
        const std::string out = answerBytes(answer, frame);
        events.push_back({"TX " + describe(answer) + (out.empty() ? "" : hex(out)), out});
    }
    return events;
}

} // namespace sim
