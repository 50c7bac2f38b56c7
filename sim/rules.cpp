#include "rules.h"

#include "line_text.h"

#include <array>
#include <cctype>
#include <utility>

namespace sim {

namespace {

constexpr std::array<std::pair<Kind, std::string_view>, 8> kNames{{
    {Kind::Ack, "ack"},
    {Kind::Nak, "nak"},
    {Kind::Reply, "reply"},
    {Kind::BadChecksum, "bad-checksum"},
    {Kind::Lowercase, "lowercase"},
    {Kind::AckReply, "ack-reply"},
    {Kind::Echo, "echo"},
    {Kind::Silence, "silence"},
}};

bool isSpace(char c)
{
    return c == ' ' || c == '\t';
}

void skipSpace(std::string_view &s)
{
    while (!s.empty() && isSpace(s.front()))
        s.remove_prefix(1);
}

std::string_view word(std::string_view &s)
{
    std::size_t n = 0;
    while (n < s.size() && !isSpace(s[n]))
        ++n;
    const auto w = s.substr(0, n);
    s.remove_prefix(n);
    return w;
}

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    c = char(std::toupper(static_cast<unsigned char>(c)));
    return c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
}

// A double-quoted text at the front of `s`, with \" \\ and \xHH; line bytes out.
std::optional<std::string> quotedText(std::string_view &s, std::string &error)
{
    std::string bytes;
    std::string literal;
    const auto flush = [&] {
        const auto converted = lineBytesFromUtf8(literal, error);
        literal.clear();
        if (converted)
            bytes += *converted;
        return converted.has_value();
    };
    s.remove_prefix(1);
    while (!s.empty() && s.front() != '"') {
        if (s.front() != '\\') {
            literal += s.front();
            s.remove_prefix(1);
            continue;
        }
        if (s.size() >= 2 && (s[1] == '"' || s[1] == '\\')) {
            literal += s[1];
            s.remove_prefix(2);
        } else if (s.size() >= 4 && s[1] == 'x' && hexValue(s[2]) >= 0 && hexValue(s[3]) >= 0) {
            if (!flush())
                return std::nullopt;
            bytes += char(hexValue(s[2]) * 16 + hexValue(s[3]));
            s.remove_prefix(4);
        } else {
            error = "unknown escape in quotes (use \\\", \\\\ or \\xHH)";
            return std::nullopt;
        }
    }
    if (s.empty()) {
        error = "missing closing quote";
        return std::nullopt;
    }
    s.remove_prefix(1);
    if (!flush())
        return std::nullopt;
    return bytes;
}

// A quoted text, or a bare one: one word for a pattern, the rest of the line for an answer.
std::optional<std::string> textField(std::string_view &s, bool restOfLine, std::string &error)
{
    if (s.front() == '"')
        return quotedText(s, error);
    std::string_view bare;
    if (restOfLine) {
        bare = s;
        while (!bare.empty() && isSpace(bare.back()))
            bare.remove_suffix(1);
        s = {};
    } else {
        bare = word(s);
    }
    return lineBytesFromUtf8(bare, error);
}

std::string describe(const Rule &rule)
{
    switch (rule.match) {
    case Rule::Match::AnyGood:
        return "*";
    case Rule::Match::Bad:
        return "!bad";
    case Rule::Match::Text:
        break;
    }
    return quoted(rule.text);
}

std::optional<Rule> parseLine(std::string_view s, const std::string &defaultText,
                              std::string &error)
{
    Rule rule;
    if (s.front() == '"' || (s.substr(0, 1) != "*" && s.front() != '!')) {
        auto text = textField(s, false, error);
        if (!text)
            return std::nullopt;
        rule.text = std::move(*text);
    } else {
        const auto special = word(s);
        if (special == "*") {
            rule.match = Rule::Match::AnyGood;
        } else if (special == "!bad") {
            rule.match = Rule::Match::Bad;
        } else {
            error = "'" + std::string(special) +
                    "' is neither a command text, * nor !bad (quote a text that starts with ! or "
                    "is *)";
            return std::nullopt;
        }
    }
    if (!s.empty() && !isSpace(s.front())) {
        error = "a space must follow the command text";
        return std::nullopt;
    }
    skipSpace(s);
    const auto name = word(s);
    if (name.empty()) {
        error = "no answer after the command text (one of " + kindNames() + ")";
        return std::nullopt;
    }
    const auto kind = kindFromName(name);
    if (!kind) {
        error = "unknown answer '" + std::string(name) + "' (one of " + kindNames() + ")";
        return std::nullopt;
    }
    rule.answer.kind = *kind;
    skipSpace(s);
    if (s.empty()) {
        rule.answer.text = kindHasText(*kind) ? defaultText : std::string();
        return rule;
    }
    if (!kindHasText(*kind)) {
        error = "'" + std::string(name) + "' takes no text";
        return std::nullopt;
    }
    auto text = textField(s, true, error);
    if (!text)
        return std::nullopt;
    skipSpace(s);
    if (!s.empty()) {
        error = "something follows the closing quote";
        return std::nullopt;
    }
    rule.answer.text = std::move(*text);
    return rule;
}

} // namespace

std::optional<Kind> kindFromName(std::string_view name)
{
    for (const auto &[kind, n] : kNames)
        if (n == name)
            return kind;
    return std::nullopt;
}

std::string_view kindName(Kind kind)
{
    for (const auto &[k, n] : kNames)
        if (k == kind)
            return n;
    return {};
}

bool kindHasText(Kind kind)
{
    return kind == Kind::Reply || kind == Kind::BadChecksum || kind == Kind::Lowercase ||
           kind == Kind::AckReply;
}

std::string kindNames()
{
    std::string names;
    for (const auto &[kind, n] : kNames)
        names += (names.empty() ? "" : ", ") + std::string(n);
    return names;
}

const Rule *Rules::find(std::string_view text) const
{
    const Rule *any = nullptr;
    for (const Rule &rule : rules) {
        if (rule.match == Rule::Match::Text && rule.text == text)
            return &rule;
        if (rule.match == Rule::Match::AnyGood)
            any = &rule;
    }
    return any;
}

const Rule *Rules::findBad() const
{
    for (const Rule &rule : rules)
        if (rule.match == Rule::Match::Bad)
            return &rule;
    return nullptr;
}

std::optional<Rules> parseRules(std::string_view content, const std::string &defaultText,
                                std::string &error)
{
    if (content.substr(0, 3) == "\xEF\xBB\xBF")
        content.remove_prefix(3);
    Rules result;
    int number = 0;
    while (!content.empty()) {
        ++number;
        const auto end = content.find('\n');
        std::string_view line = content.substr(0, end);
        content.remove_prefix(end == std::string_view::npos ? content.size() : end + 1);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        skipSpace(line);
        if (line.empty() || line.front() == '#')
            continue;

        std::string what;
        auto rule = parseLine(line, defaultText, what);
        if (!rule) {
            error = "line " + std::to_string(number) + ": " + what;
            return std::nullopt;
        }
        rule->line = number;
        for (const Rule &earlier : result.rules) {
            if (earlier.match == rule->match && earlier.text == rule->text) {
                error = "line " + std::to_string(number) + ": " + describe(*rule) +
                        " already has a rule on line " + std::to_string(earlier.line);
                return std::nullopt;
            }
        }
        result.rules.push_back(std::move(*rule));
    }
    return result;
}

} // namespace sim
