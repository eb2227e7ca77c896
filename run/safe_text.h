// Text from outside the program (file names, arguments, design texts) as it
// may be shown on a terminal.
#pragma once

#include <cstddef>
#include <string>

// The bytes with every control character shown as '?': C0 controls and DEL,
// and C1 controls (U+0080 to U+009F) whether they come as single bytes or
// UTF-8 encoded, since a terminal takes 0x9B, or 0xC2 0x9B, as the start
// of an escape sequence. Everything else, UTF-8 letters and single Latin-1
// bytes alike, is kept as it is.
std::string SafeText(const char* bytes, std::size_t count);
std::string SafeText(const char* text);
