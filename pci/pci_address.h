// Where a device sits on the PCI bus, and the one way its address is read
// and written: by the command line, the card-access layer and the tools.
#pragma once

#include <cstdint>
#include <string>

struct PciAddress {
    uint32_t Domain;
    uint8_t Bus;
    uint8_t Slot;
    uint8_t Function;
};

bool SameAddress(const PciAddress& a, const PciAddress& b);
// Domain, bus, slot, function: the order the kernel and lspci list devices in.
bool AddressLess(const PciAddress& a, const PciAddress& b);

// DDDD:BB:SS.F in lowercase hex, as the kernel names the device ("%04x:
// %02x:%02x.%x"): four domain digits, more only when the number needs them.
std::string PciAddressText(const PciAddress& address);

// An address in the forms PciAddressText writes, DDDD:BB:SS.F, or BB:SS.F
// with domain 0000, in hex digits of either case; the slot up to 1f and
// the function up to 7 (no device can sit elsewhere). Blanks and line ends
// around it are ignored. Nothing else is an address.
bool ParsePciAddress(const char* text, PciAddress* address);

// Exactly what PciAddressText writes, and nothing else: a device folder's
// name in sysfs.
bool ParseKernelName(const char* name, PciAddress* address);
