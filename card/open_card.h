// Finding, opening, identifying and mapping the card.
#pragma once

#include <cstdint>
#include <string>

#include "card/find_card.h"

// The board's name from its PCI subsystem device ID ("Quorvel KX-20
// card"); null for a board outside the table.
const char* BoardName(uint16_t subsystemDeviceId);

// What a run prints to name the board: "\nFound " and its name, or that it
// is unknown.
std::string BoardMessage(uint16_t subsystemDeviceId);

// Opens card number card (0..15) and maps its data window; returns only on
// success.
void OpenCard(unsigned card);

// Opens the card at that address as OpenCard opens its number; its
// messages name that number. Returns only on success.
void OpenCardAt(const PciAddress& address);
