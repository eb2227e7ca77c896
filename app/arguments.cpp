#include "app/arguments.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>

#include <sys/stat.h>

#include "card/open_card.h"
#include "configfile/detect_config_file.h"
#include "run/fatal_exit.h"
#include "run/run_state.h"
#include "run/safe_text.h"

constexpr unsigned MAX_CARD = 15;

static void PrintUsage()
{
    std::printf("\n%s program usage:\n%s filename.ext card", PROGRAM_NAME, PROGRAM_NAME);
    std::printf("\nWhere:");
    std::printf("\nfilename.ext specifies the name of the configuration file to be loaded.");
    std::printf("\ncard is the number of the PCI card.  (For use with multiple 9054 cards.)");
    std::printf("\nPurpose: 9054 configuration upload.");
    std::printf("\n");
}

// A folder opens for reading on Linux, but is no file to program; on the
// original platform the open itself failed.
static bool IsOpenFolder(FILE* file)
{
    struct stat st;
    return fstat(fileno(file), &st) == 0 && S_ISDIR(st.st_mode);
}

// Reads exactly `digits` hex digits (either case) at *p.
static bool TakeHex(const char** p, int digits, uint32_t* value)
{
    uint32_t v = 0;
    for (int i = 0; i < digits; ++i, ++*p) {
        const unsigned char c = static_cast<unsigned char>(**p);
        if (!std::isxdigit(c))
            return false;
        v = (v << 4) | static_cast<uint32_t>(std::isdigit(c) ? c - '0' : std::tolower(c) - 'a' + 10);
    }
    *value = v;
    return true;
}

// The number of hex digits at text.
static int HexRun(const char* text)
{
    int n = 0;
    while (std::isxdigit(static_cast<unsigned char>(text[n])))
        ++n;
    return n;
}

bool ParseCardAddress(const char* text, CardAddress* address)
{
    const char* p = text;
    uint32_t domain = 0, bus = 0, slot = 0, function = 0;
    // The domain as the kernel writes it, and so as --list shows it: four
    // digits, more only when the number needs them. BB:SS.F has no domain.
    const int domainDigits = HexRun(text);
    if (domainDigits >= 4 && text[domainDigits] == ':') {
        if (domainDigits > 8 || (domainDigits > 4 && text[0] == '0') ||
            !TakeHex(&p, domainDigits, &domain) || *p++ != ':')
            return false;
    }
    if (!TakeHex(&p, 2, &bus) || *p++ != ':' || !TakeHex(&p, 2, &slot) || *p++ != '.' ||
        !TakeHex(&p, 1, &function) || *p != '\0')
        return false;
    *address = CardAddress{domain, static_cast<uint8_t>(bus), static_cast<uint8_t>(slot),
                           static_cast<uint8_t>(function)};
    return true;
}

bool ParseCardNumber(const char* text, unsigned* card)
{
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
    while (std::isspace(*p))
        ++p;
    bool negative = false;
    if (*p == '+' || *p == '-')
        negative = (*p++ == '-');
    if (!std::isdigit(*p))
        return false;
    // Only whether the value is above 15 matters, so stop growing it there:
    // a long run of digits can then never wrap back into range.
    unsigned value = 0;
    for (; std::isdigit(*p); ++p)
        if (value <= MAX_CARD)
            value = value * 10 + static_cast<unsigned>(*p - '0');
    if (value > MAX_CARD || (negative && value != 0))
        return false;
    *card = value;
    return true;
}

void ParseArguments(int argc, char** argv)
{
    if (argc != 3) {
        PrintUsage();
        std::exit(EXIT_USAGE);
    }
    State.ConfigFile = std::fopen(argv[1], "rb");
    if (State.ConfigFile == nullptr || IsOpenFolder(State.ConfigFile))
        FatalExit(EXIT_NOT_FOUND, "File not found: %s", SafeText(argv[1]).c_str());
    // The upload reads whole blocks into its own buffer; a stdio buffer
    // in between would only split each block into two reads and a copy.
    std::setvbuf(State.ConfigFile, nullptr, _IONBF, 0);
    CardAddress address;
    unsigned card = 0;
    if (ParseCardAddress(argv[2], &address))
        OpenCardAt(address);
    else if (ParseCardNumber(argv[2], &card))
        OpenCard(card);
    else
        FatalExit(EXIT_NOT_FOUND, "Invalid card number: %s", SafeText(argv[2]).c_str());
    DetectConfigFile();
}
