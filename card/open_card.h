// Finding, opening, identifying and mapping the card.
#pragma once

#include <cstdint>

// The operator's name for a board, from its PCI subsystem device ID.
const char* BoardMessage(uint16_t subsystemDeviceId);

// True for an address the data window may really have.
bool IsValidWindow(const void* window);

// Opens card number card (0..15) and maps its data window; returns only on
// success.
void OpenCard(unsigned card);
