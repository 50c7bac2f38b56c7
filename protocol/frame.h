// SPDX-License-Identifier: MIT
#pragma once

// Bus frames: the control characters, the checksum and the frame rules, in bytes.

#include <string>
#include <string_view>

namespace Steuerzeichen {
inline constexpr char ETX = 0x03; // ends every text frame, both directions
inline constexpr char ACK = 0x06; // positive acknowledgement, a reply of its own
inline constexpr char NAK = 0x15; // negative acknowledgement, a reply of its own
} // namespace Steuerzeichen

namespace Funktionen {
// Two uppercase hex digits of the byte sum modulo 256; any length, any sum.
std::string Pruefsumme(std::string_view text);
} // namespace Funktionen

// Text, its checksum, ETX.
std::string buildFrame(std::string_view text);

// True when the characters received before an ETX end in the checksum of the rest.
// Fewer than two characters leave nothing to compare and never pass.
bool frameIsGood(std::string_view beforeEtx);
