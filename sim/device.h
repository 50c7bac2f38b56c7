// SPDX-License-Identifier: MIT
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
#include <utility>
#include <vector>

namespace sim {

// The kinds that send a text, Reply to AckReply, stay together.
enum class Kind { Ack, Nak, Reply, BadChecksum, Lowercase, AckReply, Echo, Silence };
inline const QStringList kindNames{"ack",       "nak",       "reply", "bad-checksum",
                                   "lowercase", "ack-reply", "echo",  "silence"};

struct Answer
{
    Kind kind = Kind::Reply;
    std::string text = "OK";

    bool hasText() const { return kind >= Kind::Reply && kind <= Kind::AckReply; }
    // As the log shows it: reply "OK".
    QString describe() const;
    // What goes on the line for `frame`.
    std::string bytes(const std::string &frame) const;
};

// Answers by command text; `*` and `!bad` under keys of their own (see device.cpp).
using Rules = std::map<std::string, Answer>;

// The line bytes of a text; nothing, and `error` says why, for a character Windows-1252 cannot
// hold (it would go out as '?').
std::optional<std::string> lineBytes(const QString &text, QString &error);

// A rules file; a text answer without a text of its own takes `text`. Nothing, and `error` is
// "line N: why", when a line is wrong.
std::optional<Rules> parseRules(const QByteArray &content, const QString &text, QString &error);

// A line of the log, and the bytes that go on the line with it.
using Event = std::pair<QString, std::string>;

struct Device
{
    Answer fallback; // for what no rule answers
    Rules rules;
    std::string pending; // the frame so far

    std::vector<Event> receive(std::string_view bytes);
};

} // namespace sim
