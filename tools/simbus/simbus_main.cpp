// veldran-simbus: lays out a simulated PCI bus in a folder, or reads back a
// simulated card's control/status register.
//
//   veldran-simbus [--dev DEV] ROOT [CARD ...]
//                                         make the cards (one default card if none),
//                                         and VFIO's device files under DEV
//   veldran-simbus --control ROOT ADDR    print the control/status register, 0x%08x
//
// Prints nothing on success when making cards. Exit status: 0 done,
// 1 a file could not be made or read, 2 bad arguments.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tools/simbus/sim_bus.h"

namespace {

constexpr int EXIT_DONE = 0;
constexpr int EXIT_FAILED = 1;
constexpr int EXIT_BAD_ARGUMENTS = 2;

const char USAGE[] =
    "usage: veldran-simbus [--dev DEV] ROOT [CARD ...]\n"
    "       veldran-simbus --control ROOT ADDR\n"
    "\n"
    "Lays out a simulated PCI bus under ROOT (ROOT/bus/pci/devices/...), one\n"
    "folder per CARD; with no CARD, one card with the defaults. A CARD is\n"
    "comma-separated key=value items (numbers 0x-hex or decimal):\n"
    "  addr=DDDD:BB:SS.F  PCI address, lowercase hex     (0000:01:00.0)\n"
    "  vendor= device=    IDs                            (0x10b5, 0x9054)\n"
    "  subvendor= subsys= subsystem IDs                  (0x10b5, 0x3311)\n"
    "  io=                BAR 1 I/O base, 256-aligned    (0xe000)\n"
    "  iostart=           BAR 1 start in `resource`      (same as io)\n"
    "  control=           control/status register        (0x2, DONE set)\n"
    "  bar3addr=          BAR 3 page address             (0xf0000000)\n"
    "  bar3size=          BAR 3 length, 0 = no BAR 3     (4096)\n"
    "  bar3offset=        BAR 3 start within its page    (0)\n"
    "  decode=0|1         I/O and memory decoding on     (1)\n"
    "  enable=            `enable`: the kernel's count   (1 if decode=1, else 0)\n"
    "  symlink=0|1        entry is a link, as in sysfs   (1)\n"
    "  group=N            IOMMU group N                  (none)\n"
    "  driver=NAME        the driver bound to it         (none)\n"
    "--dev DEV also makes DEV/vfio/vfio and DEV/vfio/N for each group, for\n"
    "VELDRAN_DEV_ROOT to name.\n"
    "--control prints the card's control/status register as 0x%08x.\n";

int BadArguments(const std::string& message)
{
    std::fprintf(stderr, "veldran-simbus: %s\n(veldran-simbus --help shows the usage)\n",
                 message.c_str());
    return EXIT_BAD_ARGUMENTS;
}

bool IsOption(const char* argument)
{
    return argument[0] == '-';
}

int PrintControl(const std::string& root, const std::string& address)
{
    SimCard card;
    std::string error;
    if (!ParseSimAddress(address, &card, &error))
        return BadArguments(error);
    uint32_t value = 0;
    if (!ReadSimControl(root, card, &value, &error)) {
        std::fprintf(stderr, "veldran-simbus: %s\n", error.c_str());
        return EXIT_FAILED;
    }
    std::printf("0x%08x\n", value);
    return EXIT_DONE;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::fputs(USAGE, stdout);
        return EXIT_DONE;
    }
    if (argc >= 2 && std::strcmp(argv[1], "--control") == 0) {
        if (argc != 4 || argv[2][0] == '\0')
            return BadArguments("--control takes ROOT and ADDR");
        return PrintControl(argv[2], argv[3]);
    }
    std::string dev;
    int first = 1;
    if (argc >= 3 && std::strcmp(argv[1], "--dev") == 0) {
        dev = argv[2];
        first = 3;
        if (dev.empty())
            return BadArguments("--dev takes a folder");
    }
    if (argc <= first)
        return BadArguments("no ROOT given");
    if (argv[first][0] == '\0' || IsOption(argv[first]))
        return BadArguments(std::string("bad ROOT '") + argv[first] + "'");

    std::vector<SimCard> cards;
    std::string error;
    for (int i = first + 1; i < argc; ++i) {
        SimCard card;
        if (!ParseSimCard(argv[i], &card, &error))
            return BadArguments(error);
        cards.push_back(card);
    }
    if (cards.empty())
        cards.push_back(SimCard());
    if (!CheckSimCards(cards, &error))
        return BadArguments(error);
    if (!MakeSimBus(argv[first], cards, &error) ||
        (!dev.empty() && !MakeSimDevices(dev, cards, &error))) {
        std::fprintf(stderr, "veldran-simbus: %s\n", error.c_str());
        return EXIT_FAILED;
    }
    return EXIT_DONE;
}
