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

// The length of the well-formed UTF-8 sequence at p (of at most left
// bytes, at least one), or 0 if there is none: a byte that starts none
// stands for itself.
std::size_t Utf8Length(const unsigned char* p, std::size_t left);
