#include "run/json_text.h"

#include <cstdio>

#include "run/safe_text.h"

static void AppendEscape(unsigned code, std::string* out)
{
    char escape[8];
    std::snprintf(escape, sizeof escape, "\\u%04x", code);
    *out += escape;
}

std::string JsonString(const std::string& bytes)
{
    const unsigned char* p = reinterpret_cast<const unsigned char*>(bytes.data());
    std::string out = "\"";
    for (std::size_t i = 0; i < bytes.size();) {
        const std::size_t length = Utf8Length(p + i, bytes.size() - i);
        const unsigned c = p[i];
        if (length == 2 && c == 0xC2 && p[i + 1] <= 0x9F) {
            AppendEscape(p[i + 1], &out);  // U+0080 to U+009F
        } else if (length > 0) {
            out.append(bytes, i, length);
        } else if (c >= 0x80) {
            out += "\\ufffd";
        } else if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7F) {
            AppendEscape(c, &out);
        } else {
            out += static_cast<char>(c);
        }
        i += length > 0 ? length : 1;
    }
    return out + "\"";
}
