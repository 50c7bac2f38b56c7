#pragma once

// Text between the user's UTF-8 (command line, rules file, log) and the line's Windows-1252.

#include <optional>
#include <string>
#include <string_view>

namespace sim {

// The line bytes of a UTF-8 text; nothing, with `error` set, for invalid UTF-8 or a character
// that Windows-1252 cannot hold (it would silently go out as '?').
std::optional<std::string> lineBytesFromUtf8(std::string_view utf8, std::string &error);

// Line bytes for one log line: in double quotes, UTF-8, control characters, '"' and '\' escaped.
std::string quoted(std::string_view line);

// "47 30 31 03"
std::string hexBytes(std::string_view bytes);

} // namespace sim
