// Reading the kernel's PCI files: device names, ID files, `resource`
// lines and configuration space.
#include "pci/sysfs_formats.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "pci/host.h"

namespace sysfs {

namespace {

// 6 BARs and the expansion ROM; newer kernels print more lines.
constexpr std::size_t RESOURCE_MIN_LINES = 7;
constexpr std::size_t SMALL_FILE_MAX = 64;
constexpr std::size_t ID_TEXT_LENGTH = 7;  // "0x%04x\n"
constexpr std::size_t RESOURCE_FILE_MAX = 16384;
constexpr std::size_t ENABLE_DIGITS_MAX = 10;  // a 32-bit count

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

int LowerHexDigit(char c)
{
    return (c >= 'A' && c <= 'F') ? -1 : HexDigit(c);
}

// Reads between minDigits and maxDigits lowercase hex digits at *p.
bool TakeLowerHex(const char** p, int minDigits, int maxDigits, uint32_t* value)
{
    uint32_t v = 0;
    int n = 0;
    while (n < maxDigits && LowerHexDigit((*p)[n]) >= 0) {
        v = (v << 4) | static_cast<uint32_t>(LowerHexDigit((*p)[n]));
        ++n;
    }
    if (n < minDigits || LowerHexDigit((*p)[n]) >= 0)
        return false;
    *p += n;
    *value = v;
    return true;
}

// "0x" and exactly 16 hex digits.
bool TakeResourceField(const char** p, uint64_t* value)
{
    if ((*p)[0] != '0' || (*p)[1] != 'x')
        return false;
    uint64_t v = 0;
    for (int i = 2; i < 18; ++i) {
        int digit = HexDigit((*p)[i]);
        if (digit < 0)
            return false;
        v = (v << 4) | static_cast<uint64_t>(digit);
    }
    *p += 18;
    *value = v;
    return true;
}

}  // namespace

PlxStatus ParseIdText(std::string text, uint16_t* value)
{
    const char* p = text.c_str();
    uint32_t v = 0;
    if (text.size() != ID_TEXT_LENGTH || p[0] != '0' || p[1] != 'x')
        return PLX_ERR_PARSE;
    p += 2;
    if (!TakeLowerHex(&p, 4, 4, &v) || *p != '\n')
        return PLX_ERR_PARSE;
    *value = static_cast<uint16_t>(v);
    return PLX_STATUS_OK;
}

PlxStatus ParseResources(const std::string& text, std::vector<Resource>* resources)
{
    resources->clear();
    const char* p = text.c_str();
    const char* end = p + text.size();
    while (p < end) {
        Resource r;
        if (!TakeResourceField(&p, &r.Start) || *p++ != ' ' || !TakeResourceField(&p, &r.End) ||
            *p++ != ' ' || !TakeResourceField(&p, &r.Flags) || *p++ != '\n')
            return PLX_ERR_PARSE;
        resources->push_back(r);
    }
    if (p != end || resources->size() < RESOURCE_MIN_LINES)
        return PLX_ERR_PARSE;
    return PLX_STATUS_OK;
}

bool ParseEnableText(const std::string& text, unsigned* count)
{
    std::size_t digits = 0;
    unsigned long long v = 0;
    while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9' &&
           digits < ENABLE_DIGITS_MAX)
        v = v * 10 + static_cast<unsigned>(text[digits++] - '0');
    if (digits == 0 || digits + 1 != text.size() || text[digits] != '\n' || v > UINT32_MAX)
        return false;
    *count = static_cast<unsigned>(v);
    return true;
}

bool ParseHeldFlock(const std::string& line, HeldFlock* lock)
{
    std::vector<std::string> words;
    for (std::size_t at = 0; at < line.size();) {
        const std::size_t end = std::min(line.find(' ', at), line.size());
        if (end > at)
            words.push_back(line.substr(at, end - at));
        at = end + 1;
    }
    if (words.size() != 8 || words[0].back() != ':' || words[1] != "FLOCK" ||
        (words[3] != "WRITE" && words[3] != "READ") || words[6] != "0" || words[7] != "EOF")
        return false;
    char* end = nullptr;
    errno = 0;
    const long pid = std::strtol(words[4].c_str(), &end, 10);
    if (errno != 0 || end == words[4].c_str() || *end != '\0')
        return false;
    const char* p = words[5].c_str();
    uint32_t major = 0, minor = 0;
    if (!TakeLowerHex(&p, 1, 8, &major) || *p++ != ':' || !TakeLowerHex(&p, 1, 8, &minor) ||
        *p++ != ':' || *p < '0' || *p > '9')
        return false;
    errno = 0;
    const unsigned long long inode = std::strtoull(p, &end, 10);
    if (errno != 0 || *end != '\0')
        return false;
    *lock = HeldFlock{pid, major, minor, inode};
    return true;
}

uint64_t ResourceLength(const Resource& r)
{
    if (r.End < r.Start || (r.Start == 0 && r.End == 0))
        return 0;
    return r.End - r.Start + 1;
}

PlxStatus CheckConfigRange(uint64_t spaceSize, uint32_t offset, std::size_t width)
{
    if (offset % width != 0 || static_cast<uint64_t>(offset) + width > spaceSize)
        return PLX_ERR_ARGUMENT;
    return PLX_STATUS_OK;
}

uint32_t ConfigValue(const unsigned char* bytes, std::size_t width)
{
    uint32_t v = 0;
    for (std::size_t i = width; i-- > 0;)
        v = (v << 8) | bytes[i];
    return v;
}

PlxStatus ReadIdFile(const std::string& folder, const char* name, uint16_t* value)
{
    std::string text;
    if (!ReadSmallFile(folder + "/" + name, SMALL_FILE_MAX, &text))
        return PLX_ERR_FILE;
    return ParseIdText(text, value);
}

PlxStatus ReadConfig(const std::string& folder, uint32_t offset, std::size_t width,
                     uint32_t* value)
{
    if (offset % width != 0)
        return PLX_ERR_ARGUMENT;  // a caller's mistake, whatever the file holds
    Fd fd(OpenFile(folder + "/config", O_RDONLY));
    if (!fd.Ok())
        return PLX_ERR_FILE;
    struct stat st;
    if (fstat(fd.Get(), &st) != 0)
        return PLX_ERR_FILE;
    if (st.st_size < 0 ||
        CheckConfigRange(static_cast<uint64_t>(st.st_size), offset, width) != PLX_STATUS_OK)
        return PLX_ERR_ARGUMENT;
    unsigned char bytes[4] = {};
    if (!PreadExact(fd.Get(), bytes, width, offset))
        return PLX_ERR_FILE;
    *value = ConfigValue(bytes, width);
    return PLX_STATUS_OK;
}

PlxStatus ReadResources(const std::string& folder, std::vector<Resource>* resources)
{
    std::string text;
    if (!ReadSmallFile(folder + "/resource", RESOURCE_FILE_MAX, &text))
        return PLX_ERR_FILE;
    return ParseResources(text, resources);
}

}  // namespace sysfs
