#pragma once

// The simulated bus device: frames from received bytes, their checksum verdict, the answer
// chosen by behaviour and rules, and the bytes of that answer. No I/O here.

#include "rules.h"

#include <string>
#include <string_view>
#include <vector>

namespace sim {

enum class Verdict { Good, Bad, NoChecksum };

// One frame as received: the bytes up to and including its ETX.
struct Frame
{
    std::string bytes;

    // The characters before the checksum, and the two checksum characters; with fewer than two
    // characters before the ETX there is no checksum and the text is all of them.
    std::string_view text() const;
    std::string_view checksum() const;
    Verdict verdict() const;
};

// Collects received bytes into frames; a frame ends at each ETX.
class FrameAssembler
{
public:
    std::vector<Frame> feed(std::string_view bytes);
    const std::string &pending() const { return pending_; }

private:
    std::string pending_;
};

// The bytes an answer puts on the line; `frame` is what it answers (an echo sends it back).
std::string answerBytes(const Answer &answer, std::string_view frame);

// The answer to one frame: a good frame gets the rule for its text, else the `*` rule, else the
// fallback; a bad frame gets the `!bad` rule, else NAK, unless the fallback is silence or echo,
// which a bad frame does not change.
Answer chooseAnswer(const Rules &rules, const Answer &fallback, const Frame &frame);

struct Handled
{
    Frame frame;
    Answer answer;
    std::string bytes;
};

struct Reaction
{
    std::string echo; // bytes sent straight back by an echoing line
    std::vector<Handled> frames;
};

class Device
{
public:
    Device(Answer fallback, Rules rules);
    Reaction receive(std::string_view bytes);

private:
    Answer fallback_;
    Rules rules_;
    FrameAssembler assembler_;
};

} // namespace sim
