#include "app/arguments.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/caller_file.h"
#include "card/open_card.h"
#include "configfile/detect_config_file.h"
#include "run/fatal_exit.h"
#include "run/run_state.h"
#include "run/safe_text.h"

constexpr unsigned MAX_SLOT = 0x1F;
constexpr unsigned MAX_FUNCTION = 7;

static void PrintUsage()
{
    std::printf("\n%s program usage:\n%s filename.ext card", PROGRAM_NAME, PROGRAM_NAME);
    std::printf("\nWhere:");
    std::printf("\nfilename.ext specifies the name of the configuration file to be loaded.");
    std::printf("\ncard is the number of the PCI card.  (For use with multiple 9054 cards.)");
    std::printf("\nPurpose: 9054 configuration upload.");
    std::printf("\n");
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

static bool IsBlank(char c)
{
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

bool ParseCardAddress(const char* text, CardAddress* address)
{
    const char* p = text;
    while (IsBlank(*p))
        ++p;
    const char* first = p;
    uint32_t domain = 0, bus = 0, slot = 0, function = 0;
    // The domain as the kernel writes it, and so as --list shows it: four
    // digits, more only when the number needs them. BB:SS.F has no domain.
    const int domainDigits = HexRun(first);
    if (domainDigits >= 4 && first[domainDigits] == ':') {
        if (domainDigits > 8 || (domainDigits > 4 && first[0] == '0') ||
            !TakeHex(&p, domainDigits, &domain) || *p++ != ':')
            return false;
    }
    if (!TakeHex(&p, 2, &bus) || *p++ != ':' || !TakeHex(&p, 2, &slot) || *p++ != '.' ||
        !TakeHex(&p, 1, &function) || slot > MAX_SLOT || function > MAX_FUNCTION)
        return false;
    while (IsBlank(*p))
        ++p;
    if (*p != '\0')
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
        if (value <= HIGHEST_CARD_NUMBER)
            value = value * 10 + static_cast<unsigned>(*p - '0');
    if (value > HIGHEST_CARD_NUMBER || (negative && value != 0))
        return false;
    *card = value;
    return true;
}

void OpenFileArgument(const char* path)
{
    State.ConfigFile = OpenAsCaller(path);
    if (State.ConfigFile == nullptr)
        FatalExit(EXIT_NOT_FOUND, "File not found: %s", SafeText(path).c_str());
    // The upload reads whole blocks into its own buffer; a stdio buffer
    // in between would only split each block into two reads and a copy.
    std::setvbuf(State.ConfigFile, nullptr, _IONBF, 0);
}

// A card text with a colon names an address, and only that: a near miss
// must not fall back to the number its first digits spell.
static void OpenNamedCard(const char* text)
{
    CardAddress address;
    unsigned card = 0;
    if (std::strchr(text, ':') != nullptr) {
        if (!ParseCardAddress(text, &address))
            FatalExit(EXIT_NOT_FOUND, "Invalid card address: %s", SafeText(text).c_str());
        OpenCardAt(address);
    } else if (ParseCardNumber(text, &card)) {
        OpenCard(card);
    } else {
        FatalExit(EXIT_NOT_FOUND, "Invalid card number: %s", SafeText(text).c_str());
    }
}

void ParseArguments(int argc, char** argv)
{
    if (argc != 3) {
        PrintUsage();
        std::exit(EXIT_USAGE);
    }
    OpenFileArgument(argv[1]);
    OpenNamedCard(argv[2]);
    DetectConfigFile();
}
