// veldran --release CARD: ends the holder that keeps a card open, and with
// it what the card was loaded with (the kernel resets it).
#pragma once

#include "pci/pci_address.h"

// Release the holder of card number card (0..15), or of the card at that
// address; return the exit status, or end the process through FatalExit.
int ReleaseCardHolder(unsigned card);
int ReleaseCardHolderAt(const PciAddress& address);
