#pragma once

// What the device answers, and the rules file that maps command texts to answers.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

enum class Kind { Ack, Nak, Reply, BadChecksum, Lowercase, AckReply, Echo, Silence };

std::optional<Kind> kindFromName(std::string_view name);
std::string_view kindName(Kind kind);
// The kinds that send a text: reply, bad-checksum, lowercase, ack-reply.
bool kindHasText(Kind kind);
// "ack, nak, reply, ..." for error messages.
std::string kindNames();

struct Answer
{
    Kind kind = Kind::Reply;
    std::string text = "OK"; // line bytes (Windows-1252)

    bool operator==(const Answer &) const = default;
};

struct Rule
{
    enum class Match { Text, AnyGood, Bad };
    Match match = Match::Text;
    std::string text; // line bytes, for Match::Text
    Answer answer;
    int line = 0;
};

struct Rules
{
    std::vector<Rule> rules;

    // The rule for a frame: exact text first, then `*`; `bad` picks the `!bad` rule.
    const Rule *find(std::string_view text) const;
    const Rule *findBad() const;
};

// Parses a rules file (UTF-8). A rule without its own text takes `defaultText`.
// On failure returns nothing and sets `error` to "line N: what is wrong".
std::optional<Rules> parseRules(std::string_view content, const std::string &defaultText,
                                std::string &error);

} // namespace sim
