#include "app/arguments.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>

#include <sys/stat.h>

#include "app/fatal_exit.h"
#include "app/run_state.h"
#include "app/safe_text.h"
#include "card/open_card.h"
#include "configfile/detect_config_file.h"

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
static bool IsFolder(FILE* file)
{
    struct stat st;
    return fstat(fileno(file), &st) == 0 && S_ISDIR(st.st_mode);
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
    if (State.ConfigFile == nullptr || IsFolder(State.ConfigFile))
        FatalExit(EXIT_NOT_FOUND, "File not found: %s", SafeText(argv[1]).c_str());
    // The upload reads whole blocks into its own buffer; a stdio buffer
    // in between would only split each block into two reads and a copy.
    std::setvbuf(State.ConfigFile, nullptr, _IONBF, 0);
    unsigned card = 0;
    if (!ParseCardNumber(argv[2], &card))
        FatalExit(EXIT_NOT_FOUND, "Invalid card number: %s", SafeText(argv[2]).c_str());
    OpenCard(card);
    DetectConfigFile();
}
