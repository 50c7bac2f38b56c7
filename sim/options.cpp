#include "options.h"

#include "line_text.h"

#include <charconv>

namespace sim {

namespace {

constexpr int kMaxMs = 3'600'000;

std::optional<int> milliseconds(const std::string &value)
{
    int ms = 0;
    const char *end = value.data() + value.size();
    const auto [ptr, ec] = std::from_chars(value.data(), end, ms);
    if (value.empty() || ec != std::errc() || ptr != end || ms < 0 || ms > kMaxMs)
        return std::nullopt;
    return ms;
}

} // namespace

std::optional<Options> parseOptions(const std::vector<std::string> &args, std::string &error)
{
    Options options;
    std::string kind = "reply";
    std::string text = "OK";
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i];
        std::optional<std::string> value;
        if (const auto eq = name.find('='); name.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = name.substr(eq + 1);
            name.resize(eq);
        }
        if (name == "--help" || name == "-h") {
            options.help = true;
            continue;
        }
        if (name != "--answer" && name != "--text" && name != "--delay" && name != "--gap" &&
            name != "--rules" && name != "--tty") {
            error = "unknown argument '" + args[i] + "' (see --help)";
            return std::nullopt;
        }
        if (!value) {
            if (i + 1 == args.size()) {
                error = name + " needs a value (see --help)";
                return std::nullopt;
            }
            value = args[++i];
        }
        if (name == "--answer") {
            kind = *value;
        } else if (name == "--text") {
            text = *value;
        } else if (name == "--delay" || name == "--gap") {
            const auto ms = milliseconds(*value);
            if (!ms) {
                error = name + " takes milliseconds from 0 to " + std::to_string(kMaxMs) +
                        ", not '" + *value + "'";
                return std::nullopt;
            }
            (name == "--delay" ? options.delayMs : options.gapMs) = *ms;
        } else if (name == "--rules") {
            options.rulesFile = *value;
        } else {
            options.tty = *value;
        }
    }
    const auto k = kindFromName(kind);
    if (!k) {
        error = "--answer: unknown answer '" + kind + "' (one of " + kindNames() + ")";
        return std::nullopt;
    }
    std::string why;
    const auto bytes = lineBytesFromUtf8(text, why);
    if (!bytes) {
        error = "--text: " + why;
        return std::nullopt;
    }
    options.answer = {*k, *bytes};
    return options;
}

std::string helpText()
{
    return R"(tq5sim - a simulated bus device for TQ5-Bus-Protokoll

Opens a new pseudo-terminal and prints its path as the first line, "PTY /dev/pts/N"
(or opens --tty PATH and prints "TTY PATH"), reads frames (text, two hex checksum
digits, ETX), logs each one with its time, text, checksum verdict and bytes, and
answers it. Stops on Ctrl+C (SIGINT) or SIGTERM.

usage: tq5sim [--answer KIND] [--text TEXT] [--delay MS] [--gap MS]
              [--rules FILE] [--tty PATH]

--answer KIND  how to answer a frame (default: reply):
    ack           ACK (06)                        tq5sim --answer ack
    nak           NAK (15)                        tq5sim --answer nak
    reply         TEXT, its checksum, ETX         tq5sim --answer reply --text OK
                  ("OK" goes out as OK9A ETX; the program shows OK9A{ETX})
    bad-checksum  TEXT with a wrong checksum      tq5sim --answer bad-checksum
                  (OK9B ETX; the program shows Prüfsummenfehler, then its timeout)
    lowercase     TEXT, checksum in lowercase     tq5sim --answer lowercase
                  (OK9a ETX; refused like a wrong checksum; a checksum of digits
                  only, such as 41, reads the same in both cases)
    ack-reply     ACK, then the reply             tq5sim --answer ack-reply
                  (the program shows {ACK}; the ACK then counts into the reply's
                  checksum there, so Prüfsummenfehler follows)
    echo          every received byte straight    tq5sim --answer echo
                  back, like a looped-back line
    silence       nothing at all                  tq5sim --answer silence
--text TEXT    the text of a reply (default: OK); sent in Windows-1252
--delay MS     wait MS milliseconds before each answer   tq5sim --delay 150
--gap MS       wait MS milliseconds between the characters of an answer
                                                         tq5sim --gap 20
--rules FILE   answer by command text; --answer then answers what no rule
               matches                           tq5sim --rules device.rules
--tty PATH     use this terminal instead of a new pseudo-terminal
--help         this text

A frame whose checksum is wrong (or missing) is answered NAK, unless a !bad
rule says otherwise; a silent or echoing device stays so.

Rules file: one rule a line, "COMMAND ANSWER [TEXT]"; blank lines and lines
starting with # are ignored.
    COMMAND  the command text, exactly as sent (without checksum and ETX), as one
             word or in double quotes ("G01 K01", "" for the empty text; \" \\
             and \xHH inside quotes); * for any other good frame; !bad for a
             frame with a wrong or missing checksum
    ANSWER   one of the kinds above
    TEXT     for reply, bad-checksum, lowercase, ack-reply: the rest of the line,
             or a quoted text; without it, --text
Example:
    # device.rules
    G01K01P00=  reply OK
    G02K01P00=  ack-reply "T=21,5"
    G09         silence
    !bad        nak
    *           nak

Log, one line per frame and per answer:
    12:00:00.000 RX "G01K01P00=" checksum 41 good [47 30 31 4B 30 31 50 30 30 3D 34 31 03]
    12:00:00.000 TX reply "OK" [4F 4B 39 41 03]
)";
}

} // namespace sim
