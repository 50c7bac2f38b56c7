#pragma once

// The device's command line.

#include "rules.h"

#include <optional>
#include <string>
#include <vector>

namespace sim {

struct Options
{
    Answer answer;   // for frames no rule answers
    int delayMs = 0; // before each answer
    int gapMs = 0;   // between the characters of an answer
    std::string rulesFile;
    std::string tty; // empty: a new pseudo-terminal
    bool help = false;
};

// The arguments after the program name; nothing, with a one-line `error`, when they are wrong.
std::optional<Options> parseOptions(const std::vector<std::string> &args, std::string &error);

std::string helpText();

} // namespace sim
