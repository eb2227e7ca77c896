#include "card/list_cards.h"

#include <cstdio>
#include <string>

#include "card/find_card.h"
#include "card/open_card.h"
#include "run/run_state.h"

static const char HEADER[] = "Card  Address       %-41s Program now?\n";
static const char CARD_LINE[] = "%-4u  %s  %-41s %s\n";
// A reason under a card's line starts with a dash; its further lines line
// up with the text after the dash.
static const char REASON_FIRST[] = "      - ";
static const char REASON_MORE[] = "        ";

static std::string BoardColumn(uint16_t subsystemDeviceId)
{
    const char* name = BoardName(subsystemDeviceId);
    if (name != nullptr)
        return name;
    char text[64];
    std::snprintf(text, sizeof text, "unknown board (subsystem ID 0x%04x)",
                  static_cast<unsigned>(subsystemDeviceId));
    return text;
}

// Decoding that is off keeps a card from a run only where the run may not
// turn it on.
static bool Programmable(const PlxAccess& access)
{
    unsigned blocks = access.Blocks;
    if (access.MayEnable)
        blocks &= ~static_cast<unsigned>(PLX_BLOCK_NOT_DECODING);
    return blocks == 0;
}

// Why, in the order an operator should deal with it: what nobody can
// change on this system first.
static void PrintReasons(const PlxAccess& access, const std::string& address)
{
    const unsigned b = access.Blocks;
    if (b & PLX_BLOCK_LOCKDOWN)
        std::printf("%skernel lockdown is on (%s): the kernel lets no program reach the\n"
                    "%scard, root included; only booting without it helps (Secure Boot off,\n"
                    "%sno lockdown= boot option)\n",
                    REASON_FIRST, access.Lockdown, REASON_MORE, REASON_MORE);
    if (b & PLX_BLOCK_READ_ONLY)
        std::printf("%ssysfs is mounted read-only here (as in a container): the card's files\n"
                    "%scannot be opened for writing; run where /sys is writable\n",
                    REASON_FIRST, REASON_MORE);
    if (b & PLX_BLOCK_PERMISSION)
        std::printf("%sno permission to read and write %s: the udev rule\n"
                    "%s60-veldran.rules gives the card's files to the group veldran; join it and\n"
                    "%slog in again, or run as root\n",
                    REASON_FIRST, access.Denied, REASON_MORE, REASON_MORE);
    if (b & PLX_BLOCK_MISSING)
        std::printf("%sthe card's %s cannot be read\n", REASON_FIRST, access.Missing);
    if (b & PLX_BLOCK_DRIVER)
        std::printf("%sthe kernel driver %s is bound to the card; unbind it as root:\n"
                    "%secho %s > /sys/bus/pci/devices/%s/driver/unbind\n",
                    REASON_FIRST, access.Driver, REASON_MORE, address.c_str(), address.c_str());
    if (b & PLX_BLOCK_NOT_DECODING)
        std::printf("%sI/O or memory decoding is off; a run as root turns it on\n", REASON_FIRST);
}

static void ListCard(unsigned number, const DeviceKey& key)
{
    const std::string address = AddressText(CardAddressOf(key));
    PlxAccess access;
    const bool checked = PlxHost_CheckAccess(&key, &access) == PLX_STATUS_OK;
    std::printf(CARD_LINE, number, address.c_str(), BoardColumn(key.SubDeviceId).c_str(),
                !checked ? "unknown" : Programmable(access) ? "yes" : "no");
    if (checked)
        PrintReasons(access, address);
}

int ListCards()
{
    DeviceKey key;
    unsigned number = 0;
    for (; FindCardNumber(number, &key); ++number) {
        if (number == 0)
            std::printf(HEADER, "Board");
        ListCard(number, key);
    }
    if (number == 0) {
        std::printf("No 9054 card found.\n");
        return EXIT_NOT_FOUND;
    }
    return EXIT_OK;
}
