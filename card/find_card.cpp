#include "card/find_card.h"

#include <cstring>

constexpr uint16_t PLX_VENDOR_ID = 0x10B5;
constexpr uint16_t PLX_9054_DEVICE_ID = 0x9054;
// The search takes a 16-bit index; past that, no card can be counted.
constexpr unsigned LAST_INDEX = 0xFFFF;

static DeviceKey CardSearchKey()
{
    DeviceKey key;
    std::memset(&key, 0xFF, sizeof key);
    key.VendorId = PLX_VENDOR_ID;
    key.DeviceId = PLX_9054_DEVICE_ID;
    key.Function = 0;
    return key;
}

bool FindCardNumber(unsigned number, DeviceKey* key)
{
    if (number > LAST_INDEX)
        return false;
    *key = CardSearchKey();
    return PlxPci_DeviceFind(key, static_cast<uint16_t>(number)) == PLX_STATUS_OK;
}

// The card is the one the search itself returned, key and all: turning the
// address into a number and searching again could reach another card if
// the bus changed in between. The searches from index 0 upward count in
// one look at the bus, so a card that comes or goes meanwhile shifts
// nothing, and the number is the card's number on that look.
bool FindCardAt(const PciAddress& address, DeviceKey* key, unsigned* number)
{
    for (unsigned index = 0; FindCardNumber(index, key); ++index) {
        if (SameAddress(CardAddressOf(*key), address)) {
            *number = index;
            return true;
        }
    }
    return false;
}

PciAddress CardAddressOf(const DeviceKey& key)
{
    return PciAddress{key.Domain, key.Bus, key.Slot, key.Function};
}
