// SPDX-License-Identifier: MIT
#include "frame.h"

namespace Funktionen {

std::string Pruefsumme(std::string_view text)
{
    unsigned sum = 0;
    for (unsigned char c : text)
        sum += c;
    static constexpr char digits[] = "0123456789ABCDEF";
    return {digits[(sum >> 4) & 0xF], digits[sum & 0xF]};
}

} // namespace Funktionen

std::string buildFrame(std::string_view text)
{
    std::string frame;
    frame.reserve(text.size() + 3);
    frame.append(text);
    frame.append(Funktionen::Pruefsumme(text));
    frame.push_back(Steuerzeichen::ETX);
    return frame;
}

bool frameIsGood(std::string_view beforeEtx)
{
    if (beforeEtx.size() < 2)
        return false;
    const auto payload = beforeEtx.substr(0, beforeEtx.size() - 2);
    return Funktionen::Pruefsumme(payload) == beforeEtx.substr(beforeEtx.size() - 2);
}
