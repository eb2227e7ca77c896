// Text from outside the program (driver names, file names, design texts)
// as a string in JSON (RFC 8259).
#pragma once

#include <string>

// The bytes as a JSON string, quotes included. '"' and '\' are escaped,
// and so is every control character: C0 and DEL, and C1 (U+0080 to
// U+009F) too, so that a terminal that shows the JSON never takes one for
// the start of an escape sequence. Each byte that is not part of
// well-formed UTF-8 becomes U+FFFD, so that the result is always valid
// JSON, whatever the system's names hold.
std::string JsonString(const std::string& bytes);
