// Finding 9054 cards: by number as a run counts them, or by address. The
// run, the address form and the listing all go through here, so that the
// numbers they show and use cannot drift apart.
#pragma once

#include <cstdint>
#include <string>

#include "pci/pci_address.h"
#include "pci/plx_api.h"

// The highest card number a run takes; cards counted past it are reached
// by their address.
constexpr unsigned HIGHEST_CARD_NUMBER = 15;

// Finds card number `number` (zero-based among the 9054 bridges at
// function 0, in address order); false if there is none.
bool FindCardNumber(unsigned number, DeviceKey* key);

// Finds the 9054 card at exactly that address, and its number; false if
// none is there at function 0.
bool FindCardAt(const PciAddress& address, DeviceKey* key, unsigned* number);

// The address the key describes after a search.
PciAddress CardAddressOf(const DeviceKey& key);
