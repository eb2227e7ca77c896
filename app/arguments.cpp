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


static void PrintUsage()
{
    std::printf("\n%s program usage:\n%s filename.ext card", PROGRAM_NAME, PROGRAM_NAME);
    std::printf("\nWhere:");
    std::printf("\nfilename.ext specifies the name of the configuration file to be loaded.");
    std::printf("\ncard is the number of the PCI card.  (For use with multiple 9054 cards.)");
    std::printf("\nPurpose: 9054 configuration upload.");
    std::printf("\n");
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
    State.ConfigName = path;
    if (State.ConfigFile == nullptr)
        FatalExit(EXIT_NOT_FOUND, "File not found: %s", SafeText(path).c_str());
    // The upload reads whole blocks into its own buffer; a stdio buffer
    // in between would only split each block into two reads and a copy.
    std::setvbuf(State.ConfigFile, nullptr, _IONBF, 0);
}

// A card text with a colon names an address, and only that: a near miss
// must not fall back to the number its first digits spell.
NamedCard ReadCardArgument(const char* text)
{
    NamedCard card = {false, 0, {}};
    if (std::strchr(text, ':') != nullptr) {
        if (!ParsePciAddress(text, &card.Address))
            FatalExit(EXIT_NOT_FOUND, "Invalid card address: %s", SafeText(text).c_str());
        card.ByAddress = true;
    } else if (!ParseCardNumber(text, &card.Number)) {
        FatalExit(EXIT_NOT_FOUND, "Invalid card number: %s", SafeText(text).c_str());
    }
    return card;
}

static void OpenNamedCard(const char* text)
{
    const NamedCard card = ReadCardArgument(text);
    if (card.ByAddress)
        OpenCardAt(card.Address);
    else
        OpenCard(card.Number);
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
