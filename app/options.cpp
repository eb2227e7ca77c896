#include "app/options.h"

#include <cstdio>
#include <cstring>

#include "app/arguments.h"
#include "card/list_cards.h"
#include "card/list_json.h"
#include "card/release_card.h"
#include "configfile/detect_config_file.h"
#include "configfile/file_access.h"
#include "run/fatal_exit.h"
#include "run/run_state.h"

static const char HELP[] =
    "Usage:\n"
    "  veldran FILE CARD   load the configuration in FILE into card CARD\n"
    "  veldran --list      list the 9054 cards: number, address, board, whether you\n"
    "                      can program them now (and if not, why), and what each\n"
    "                      carries, as its record and its register say\n"
    "  veldran --list --json\n"
    "                      the same list as JSON, one card's object a line\n"
    "  veldran --check FILE\n"
    "                      read FILE as a run would and show its details; no card\n"
    "                      is opened, and the exit status is the one a run would\n"
    "                      give for the file\n"
    "  veldran --release CARD\n"
    "                      end the holder that keeps card CARD open after a run\n"
    "                      through VFIO; the kernel then resets the card\n"
    "  veldran --help      show this text\n"
    "  veldran --version   show the version\n"
    "\n"
    "FILE is a .BIT design file or a PROM image. CARD is a card's number, 0 to 15,\n"
    "as --list shows it, or its PCI address, DDDD:BB:SS.F or BB:SS.F (hex digits;\n"
    "domain 0000 when left out). A CARD with a colon is an address and nothing else.\n"
    "\n"
    "Purpose: 9054 configuration upload. See veldran(1) for the exit statuses.\n";

// veldran --check FILE: the file read as a run reads it, with no card.
static int CheckFile(const char* path)
{
    OpenFileArgument(path);
    DetectConfigFile();
    if (!ReadToEnd())
        FatalExit(EXIT_FILE_IO, "File I/O error.");
    std::fclose(State.ConfigFile);
    State.ConfigFile = nullptr;
    return EXIT_OK;
}

static bool Is(const char* argument, const char* option)
{
    return std::strcmp(argument, option) == 0;
}

bool RunOption(int argc, char** argv, int* status)
{
    if (argc == 3 && Is(argv[1], "--check")) {
        *status = CheckFile(argv[2]);
        return true;
    }
    if (argc == 3 && Is(argv[1], "--list") && Is(argv[2], "--json")) {
        *status = ListCardsJson();
        return true;
    }
    if (argc == 3 && Is(argv[1], "--release")) {
        const NamedCard card = ReadCardArgument(argv[2]);
        *status = card.ByAddress ? ReleaseCardHolderAt(card.Address) : ReleaseCardHolder(card.Number);
        return true;
    }
    if (argc != 2)
        return false;
    if (Is(argv[1], "--help")) {
        std::fputs(HELP, stdout);
        *status = EXIT_OK;
    } else if (Is(argv[1], "--version")) {
        std::printf("%s version %s\n", PROGRAM_NAME, PROGRAM_VERSION);
        *status = EXIT_OK;
    } else if (Is(argv[1], "--list")) {
        *status = ListCards();
    } else {
        return false;
    }
    return true;
}
