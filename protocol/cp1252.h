// SPDX-License-Identifier: MIT
#pragma once

// Windows-1252, the single-byte code page of the line: one byte per character both ways.

#include <string>
#include <string_view>

namespace Windows1252 {
// Every byte decodes; the five bytes the code page leaves undefined map to the same code points.
std::u16string toUnicode(std::string_view bytes);
// A character the code page cannot hold becomes '?', as a Windows desktop sends it.
// A surrogate pair is one character.
std::string fromUnicode(std::u16string_view text);
} // namespace Windows1252
