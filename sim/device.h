#pragma once

// The simulated bus device without its line: frames and their checksum verdict, the answer the
// behaviour and the rules give a frame, its bytes and its log lines. Texts here are line bytes
// (Windows-1252); what a user writes (command line, rules file) is UTF-8.

#include <QByteArray>
#include <QStringList>

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

// The kinds that send a text, Reply to AckReply, stay together.
enum class Kind { Ack, Nak, Reply, BadChecksum, Lowercase, AckReply, Echo, Silence };
inline const QStringList kindNames{"ack",       "nak",       "reply", "bad-checksum",
                                   "lowercase", "ack-reply", "echo",  "silence"};
inline bool hasText(Kind kind)
{
    return kind >= Kind::Reply && kind <= Kind::AckReply;
}

struct Answer
{
    Kind kind = Kind::Reply;
    std::string text = "OK";
};
// As the log shows it: reply "OK".
QString describe(const Answer &answer);

struct Rules
{
    std::map<std::string, Answer> byText;
    std::optional<Answer> otherGood, bad; // `*` and `!bad`
    std::size_t size() const { return byText.size() + otherGood.has_value() + bad.has_value(); }
};

// The line bytes of a text; nothing, and `error` says why, for a character Windows-1252 cannot
// hold (it would go out as '?').
std::optional<std::string> lineBytes(const QString &text, QString &error);

// A rules file; a text answer without a text of its own takes `defaultText`. Nothing, and
// `error` is "line N: why", when a line is wrong.
std::optional<Rules> parseRules(const QByteArray &content, const QString &defaultText,
                                QString &error);

// A line of the log, and the bytes that go on the line with it.
struct Event
{
    QString log;
    std::string bytes;
};

struct Device
{
    Answer fallback; // for what no rule answers
    Rules rules;
    std::string pending; // the frame so far

    std::vector<Event> receive(std::string_view bytes);
};

} // namespace sim
