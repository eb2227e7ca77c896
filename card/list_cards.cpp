#include "card/list_cards.h"

#include <cstdio>
#include <string>

#include "card/find_card.h"
#include "card/open_card.h"
#include "run/run_state.h"
#include "run/safe_text.h"

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

// Whether a run's write of 1 to `enable` turns decoding on: the kernel
// takes it only from CAP_SYS_ADMIN, refuses it while a driver is bound,
// and turns decoding on only as its count of enables goes from 0 to 1.
static bool RunTurnsDecodingOn(const PlxAccess& access)
{
    return access.MayEnable && access.EnableCount <= 0 && (access.Notes & PLX_NOTE_DRIVER) == 0;
}

static bool Programmable(const PlxAccess& access)
{
    unsigned blocks = access.Blocks;
    if (RunTurnsDecodingOn(access))
        blocks &= ~static_cast<unsigned>(PLX_BLOCK_NOT_DECODING);
    return blocks == 0;
}

static void PrintLockdown(const PlxAccess& access)
{
    if (access.Blocks & PLX_BLOCK_LOCKDOWN)
        std::printf("%skernel lockdown is on (%s): the kernel lets no program reach the\n"
                    "%scard, root included; only booting without it helps (Secure Boot off,\n"
                    "%sno lockdown= boot option)\n",
                    REASON_FIRST, SafeText(access.Lockdown).c_str(), REASON_MORE, REASON_MORE);
    if (access.Notes & PLX_NOTE_LOCKDOWN_UNKNOWN)
        std::printf("%skernel lockdown could not be checked: /sys/kernel/security/lockdown\n"
                    "%scannot be read (no securityfs here, as in many containers); a run fails\n"
                    "%sunder lockdown\n",
                    REASON_FIRST, REASON_MORE, REASON_MORE);
}

static void PrintFileReasons(const PlxAccess& access)
{
    const unsigned b = access.Blocks;
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
    if (b & PLX_BLOCK_NO_IO_BAR)
        std::printf("%sthe card has no I/O BAR (the kernel gave it no I/O ports): a run\n"
                    "%sreaches the card's registers, and holds the card, through it\n",
                    REASON_FIRST, REASON_MORE);
}

static void PrintUse(const PlxAccess& access)
{
    if (access.Blocks & PLX_BLOCK_IN_USE) {
        std::string holder;
        if (access.Holder != 0)
            holder = " (process " + std::to_string(access.Holder) +
                     (access.HolderName[0] != '\0' ? ", " + SafeText(access.HolderName) : "") + ")";
        std::printf("%sin use by another run%s; wait for it to end\n", REASON_FIRST,
                    holder.c_str());
    }
    if (access.Notes & PLX_NOTE_USE_UNKNOWN)
        std::printf("%swhether another run holds the card could not be checked: /proc/locks\n"
                    "%scannot be read\n",
                    REASON_FIRST, REASON_MORE);
}

// A run goes ahead with a driver bound: a machine whose driver shares the
// card with this program may rely on that.
static void PrintDriver(const PlxAccess& access, const std::string& address)
{
    if ((access.Notes & PLX_NOTE_DRIVER) == 0)
        return;
    std::printf("%swarning: the kernel driver %s is bound to the card; a run\n"
                "%sgoes ahead, but the driver may use the card too or keep it from being\n"
                "%smapped; to keep the driver off the card, unbind it as root:\n"
                "%secho %s > /sys/bus/pci/devices/%s/driver/unbind\n",
                REASON_FIRST, SafeText(access.Driver).c_str(), REASON_MORE, REASON_MORE,
                REASON_MORE, address.c_str(), address.c_str());
}

static void PrintDecoding(const PlxAccess& access, const std::string& address)
{
    if ((access.Blocks & PLX_BLOCK_NOT_DECODING) == 0)
        return;
    if (access.Notes & PLX_NOTE_DRIVER)
        std::printf("%sI/O or memory decoding is off, and the kernel enables no card that a\n"
                    "%sdriver holds: unbind the driver, then run as root\n",
                    REASON_FIRST, REASON_MORE);
    else if (access.EnableCount > 0)
        std::printf("%sI/O or memory decoding is off, but the kernel counts the card as\n"
                    "%senabled (enable reads %d), so a run cannot turn it on; as root, write 0\n"
                    "%sto /sys/bus/pci/devices/%s/enable until it reads 0, then run\n"
                    "%sas root\n",
                    REASON_FIRST, REASON_MORE, access.EnableCount, REASON_MORE, address.c_str(),
                    REASON_MORE);
    else
        std::printf("%sI/O or memory decoding is off; a run as root turns it on\n", REASON_FIRST);
}

// Why, in the order an operator should deal with it: what nobody can
// change on this system first.
static void PrintReasons(const PlxAccess& access, const std::string& address)
{
    PrintLockdown(access);
    PrintFileReasons(access);
    PrintUse(access);
    PrintDriver(access, address);
    PrintDecoding(access, address);
}

static void ListCard(unsigned number, const DeviceKey& key)
{
    const std::string address = PciAddressText(CardAddressOf(key));
    PlxAccess access;
    const bool checked = PlxHost_CheckAccess(&key, &access) == PLX_STATUS_OK;
    std::printf(CARD_LINE, number, address.c_str(), BoardColumn(key.SubDeviceId).c_str(),
                !checked ? "unknown" : Programmable(access) ? "yes" : "no");
    if (checked)
        PrintReasons(access, address);
    if (number > HIGHEST_CARD_NUMBER)
        std::printf("%sa run takes the card numbers 0 to %u only: name this card by its\n"
                    "%saddress, %s\n",
                    REASON_FIRST, HIGHEST_CARD_NUMBER, REASON_MORE, address.c_str());
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
