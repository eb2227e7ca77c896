#include "run/safe_text.h"

#include <cstring>

static bool IsContinuation(unsigned char c)
{
    return (c & 0xC0) == 0x80;
}

std::size_t Utf8Length(const unsigned char* p, std::size_t left)
{
    std::size_t length = 0;
    if (p[0] >= 0xC2 && p[0] <= 0xDF)
        length = 2;
    else if (p[0] >= 0xE0 && p[0] <= 0xEF)
        length = 3;
    else if (p[0] >= 0xF0 && p[0] <= 0xF4)
        length = 4;
    if (length == 0 || length > left)
        return 0;
    for (std::size_t i = 1; i < length; ++i)
        if (!IsContinuation(p[i]))
            return 0;
    // Overlong forms, surrogates and code points past U+10FFFF are not
    // well formed.
    if ((p[0] == 0xE0 && p[1] < 0xA0) || (p[0] == 0xED && p[1] > 0x9F) ||
        (p[0] == 0xF0 && p[1] < 0x90) || (p[0] == 0xF4 && p[1] > 0x8F))
        return 0;
    return length;
}

static bool IsControl(unsigned char c)
{
    return c < 0x20 || c == 0x7F || (c >= 0x80 && c <= 0x9F);
}

std::string SafeText(const char* bytes, std::size_t count)
{
    const unsigned char* p = reinterpret_cast<const unsigned char*>(bytes);
    std::string out;
    out.reserve(count);
    for (std::size_t i = 0; i < count;) {
        const std::size_t length = Utf8Length(p + i, count - i);
        if (length == 2 && p[i] == 0xC2 && p[i + 1] <= 0x9F) {
            out += '?';  // U+0080 to U+009F
        } else if (length > 0) {
            out.append(bytes + i, length);
        } else {
            out += IsControl(p[i]) ? '?' : bytes[i];
            i += 1;
            continue;
        }
        i += length;
    }
    return out;
}

std::string SafeText(const char* text)
{
    return SafeText(text, std::strlen(text));
}
