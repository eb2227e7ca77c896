// Finding 9054 cards: by number as a run counts them, or by address. The
// run, the address form and the listing all go through here, so that the
// numbers they show and use cannot drift apart.
#pragma once

#include <cstdint>
#include <string>

#include "pci/plx_api.h"

// Where a device sits on the PCI bus.
struct CardAddress {
    uint32_t Domain;
    uint8_t Bus;
    uint8_t Slot;
    uint8_t Function;
};

// The highest card number a run takes; cards counted past it are reached
// by their address.
constexpr unsigned HIGHEST_CARD_NUMBER = 15;

// Finds card number `number` (zero-based among the 9054 bridges at
// function 0, in address order); false if there is none.
bool FindCardNumber(unsigned number, DeviceKey* key);

// Finds the 9054 card at exactly that address, and its number; false if
// none is there at function 0.
bool FindCardAt(const CardAddress& address, DeviceKey* key, unsigned* number);

// The address the key describes after a search.
CardAddress CardAddressOf(const DeviceKey& key);

// DDDD:BB:SS.F in lowercase hex, as the kernel names the device.
std::string AddressText(const CardAddress& address);
