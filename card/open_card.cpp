#include "card/open_card.h"

#include <cinttypes>
#include <cstdio>
#include <string>

#include "card/find_card.h"
#include "run/fatal_exit.h"
#include "run/run_state.h"

constexpr uint16_t BAR1_CONFIG_OFFSET = 0x14;
constexpr uint32_t IO_BASE_MASK = 0xFFFFFFFC;
constexpr uint32_t CONTROL_REGISTER_OFFSET = 0x6C;
constexpr uint8_t DATA_WINDOW_BAR = 3;

struct Board {
    uint16_t SubsystemDeviceId;
    const char* Name;
};

static const Board BOARDS[] = {
    {0x3133, "Quorvel KX-10 card, old - update EEPROM!"},
    {0x3311, "Quorvel KX-10 card"},
    {0x3312, "Quorvel KX-20 card"},
    {0x3313, "Quorvel KX-31 card"},
    {0x3314, "Quorvel KX-30 card"},
    {0x3315, "Quorvel KX-40 card"},
    {0x3472, "Quorvel KX-50 card"},
    {0x3473, "Quorvel KX-51 card"},
};

const char* BoardName(uint16_t subsystemDeviceId)
{
    for (const Board& board : BOARDS)
        if (board.SubsystemDeviceId == subsystemDeviceId)
            return board.Name;
    return nullptr;
}

std::string BoardMessage(uint16_t subsystemDeviceId)
{
    const char* name = BoardName(subsystemDeviceId);
    return name != nullptr ? std::string("\nFound ") + name : "\nUnknown PLX PCI9054 based card!";
}

// True for an address the data window may really have.
static bool IsValidWindow(const void* window)
{
    const uintptr_t address = reinterpret_cast<uintptr_t>(window);
    return address != 0 && address != UINTPTR_MAX && address != 0xFFFFFFFFu;
}

static void LocateControlPort(const DeviceKey& key, unsigned card)
{
    PlxStatus status = 0;
    const uint32_t bar1 =
        PlxPci_PciRegisterRead(key.Bus, key.Slot, key.Function, BAR1_CONFIG_OFFSET, &status);
    if (status != PLX_STATUS_OK)
        FatalExit(EXIT_CARD_ACCESS, "Can't read 9054 card number %u configuration registers.\n",
                  card);
    State.ControlPort = bar1 & IO_BASE_MASK;
    std::printf("\n\nPLX 9054 configuration I/O base port: 0x%04" PRIX32, State.ControlPort);
    State.ControlPort += CONTROL_REGISTER_OFFSET;
    std::printf("\nPLX 9054 control/status port:         0x%04" PRIX32, State.ControlPort);
}

static void MapDataWindow(unsigned card)
{
    if (PlxPci_PciBarMap(&State.CardDevice, DATA_WINDOW_BAR, &State.DataWindow) != PLX_STATUS_OK)
        FatalExit(EXIT_CARD_ACCESS, "Can't map 9054 card number %u base registers.\n", card);
    // Held from here on, whatever the address turns out to be, so that a
    // bad mapping is still given back.
    State.WindowMapped = 1;
    if (!IsValidWindow(State.DataWindow))
        FatalExit(EXIT_CARD_ACCESS, "Invalid 9054 card number %u base register mapping.\n", card);
    if (PlxHost_WindowStore(&State.CardDevice, State.DataWindow, &State.WindowStore,
                            &State.WindowStoreContext) != PLX_STATUS_OK)
        FatalExit(EXIT_CARD_ACCESS, "Can't map 9054 card number %u base registers.\n", card);
    std::printf("\nPLX 9054 memory base:                 0x%0*" PRIXPTR "\n",
                static_cast<int>(2 * sizeof(void*)), reinterpret_cast<uintptr_t>(State.DataWindow));
}

// Opens the card the search found, exactly that one, and maps its window.
static void OpenFoundCard(DeviceKey key, unsigned card)
{
    if (PlxPci_DeviceOpen(&key, &State.CardDevice) != PLX_STATUS_OK)
        FatalExit(EXIT_CARD_ACCESS, "Can't gain access to 9054 card number %u.\n", card);
    State.DeviceOpen = 1;
    std::printf("\nUsing PCI device at bus %u/device %u.", static_cast<unsigned>(key.Bus),
                static_cast<unsigned>(key.Slot));
    std::fflush(stdout);
    std::fputs(BoardMessage(key.SubDeviceId).c_str(), stdout);
    LocateControlPort(key, card);
    MapDataWindow(card);
}

void OpenCard(unsigned card)
{
    DeviceKey key;
    if (!FindCardNumber(card, &key))
        FatalExit(EXIT_NOT_FOUND, "Can't find 9054 card number %u.\n", card);
    OpenFoundCard(key, card);
}

void OpenCardAt(const PciAddress& address)
{
    DeviceKey key;
    unsigned card = 0;
    if (!FindCardAt(address, &key, &card))
        FatalExit(EXIT_NOT_FOUND, "Can't find 9054 card at %s.\n", PciAddressText(address).c_str());
    OpenFoundCard(key, card);
}
