#include "app/options.h"

#include <cstdio>
#include <cstring>

#include "card/list_cards.h"
#include "run/run_state.h"

static const char HELP[] =
    "Usage:\n"
    "  veldran FILE CARD   load the configuration in FILE into card CARD\n"
    "  veldran --list      list the 9054 cards: number, address, board, and whether\n"
    "                      you can program them now (and if not, why)\n"
    "  veldran --help      show this text\n"
    "  veldran --version   show the version\n"
    "\n"
    "FILE is a .BIT design file or a PROM image. CARD is a card's number, 0 to 15,\n"
    "as --list shows it, or its PCI address, DDDD:BB:SS.F or BB:SS.F (hex digits;\n"
    "domain 0000 when left out). A CARD with a colon is an address and nothing else.\n"
    "\n"
    "Purpose: 9054 configuration upload. See veldran(1) for the exit statuses.\n";

bool RunOption(int argc, char** argv, int* status)
{
    if (argc != 2)
        return false;
    if (std::strcmp(argv[1], "--help") == 0) {
        std::fputs(HELP, stdout);
        *status = EXIT_OK;
    } else if (std::strcmp(argv[1], "--version") == 0) {
        std::printf("%s version %s\n", PROGRAM_NAME, PROGRAM_VERSION);
        *status = EXIT_OK;
    } else if (std::strcmp(argv[1], "--list") == 0) {
        *status = ListCards();
    } else {
        return false;
    }
    return true;
}
