#include "device.h"

#include "protocol/frame.h"

#include <cctype>
#include <utility>

namespace sim {

std::string_view Frame::text() const
{
    const std::string_view before = std::string_view(bytes).substr(0, bytes.size() - 1);
    return before.size() < 2 ? before : before.substr(0, before.size() - 2);
}

std::string_view Frame::checksum() const
{
    const std::string_view before = std::string_view(bytes).substr(0, bytes.size() - 1);
    return before.size() < 2 ? std::string_view() : before.substr(before.size() - 2);
}

Verdict Frame::verdict() const
{
    if (bytes.size() < 3)
        return Verdict::NoChecksum;
    return frameIsGood(std::string_view(bytes).substr(0, bytes.size() - 1)) ? Verdict::Good
                                                                            : Verdict::Bad;
}

std::vector<Frame> FrameAssembler::feed(std::string_view bytes)
{
    std::vector<Frame> frames;
    for (char c : bytes) {
        pending_ += c;
        if (c == Steuerzeichen::ETX)
            frames.push_back({std::exchange(pending_, {})});
    }
    return frames;
}

std::string answerBytes(const Answer &answer, std::string_view frame)
{
    switch (answer.kind) {
    case Kind::Ack:
        return {Steuerzeichen::ACK};
    case Kind::Nak:
        return {Steuerzeichen::NAK};
    case Kind::Reply:
        return buildFrame(answer.text);
    case Kind::BadChecksum: {
        // The checksum of the text one higher: well-formed, uppercase, wrong.
        std::string wrong = answer.text;
        wrong += '\x01';
        return answer.text + Funktionen::Pruefsumme(wrong) + Steuerzeichen::ETX;
    }
    case Kind::Lowercase: {
        std::string sum = Funktionen::Pruefsumme(answer.text);
        for (char &c : sum)
            c = char(std::tolower(static_cast<unsigned char>(c)));
        return answer.text + sum + Steuerzeichen::ETX;
    }
    case Kind::AckReply:
        return Steuerzeichen::ACK + buildFrame(answer.text);
    case Kind::Echo:
        return std::string(frame);
    case Kind::Silence:
        return {};
    }
    return {};
}

Answer chooseAnswer(const Rules &rules, const Answer &fallback, const Frame &frame)
{
    if (frame.verdict() == Verdict::Good) {
        const Rule *rule = rules.find(frame.text());
        return rule ? rule->answer : fallback;
    }
    if (const Rule *rule = rules.findBad())
        return rule->answer;
    if (fallback.kind == Kind::Silence || fallback.kind == Kind::Echo)
        return fallback;
    return {Kind::Nak, {}};
}

Device::Device(Answer fallback, Rules rules)
    : fallback_(std::move(fallback)), rules_(std::move(rules))
{
}

Reaction Device::receive(std::string_view bytes)
{
    // An echoing device is a line that sends back every byte; its frames need no echo of their own.
    const bool lineEcho = fallback_.kind == Kind::Echo;
    Reaction reaction;
    if (lineEcho)
        reaction.echo = std::string(bytes);
    for (Frame &frame : assembler_.feed(bytes)) {
        Answer answer = chooseAnswer(rules_, fallback_, frame);
        std::string out = lineEcho && answer.kind == Kind::Echo ? std::string()
                                                                : answerBytes(answer, frame.bytes);
        reaction.frames.push_back({std::move(frame), std::move(answer), std::move(out)});
    }
    return reaction;
}

} // namespace sim
