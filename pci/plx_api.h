// The card-access calling contract.
//
// Everything the program does to the card, apart from the byte stores into
// the mapped data window, goes through these eight functions. They keep the
// shape of the bridge vendor's library on the original platform, so a port
// to another platform replaces only the files that implement them.
#pragma once

#include <cstddef>
#include <cstdint>

// Every status-returning call reports success as this value; any other
// value is a failure and carries no further meaning for the callers.
using PlxStatus = int;
constexpr PlxStatus PLX_STATUS_OK = 512;

// A search key field holding all ones is not compared by the search.
constexpr uint8_t PLX_IGNORE_8 = 0xFF;
constexpr uint16_t PLX_IGNORE_16 = 0xFFFF;
constexpr uint32_t PLX_IGNORE_32 = 0xFFFFFFFF;

// DeviceKey::AtAddress of a key that names one device by its address.
constexpr uint8_t PLX_AT_ADDRESS = 1;

// Port access widths, as the access-type argument of the port calls.
enum : int { PLX_ACCESS_8 = 0, PLX_ACCESS_16 = 1, PLX_ACCESS_32 = 2 };

constexpr int PLX_BAR_COUNT = 6;

// Which device to look for, and, after a successful search, which one was
// found. Callers fill it with 0xFF bytes and set only the fields they want.
struct DeviceKey {
    uint32_t Domain;  // PCI domain (segment); ours, never a search field of the callers
    uint8_t Bus;
    uint8_t Slot;
    uint8_t Function;
    uint16_t VendorId;
    uint16_t DeviceId;
    uint16_t SubVendorId;
    uint16_t SubDeviceId;
    // PLX_AT_ADDRESS once a search has filled the key in: the address is
    // then the device's own, every value of it a real one (a domain or bus
    // of all ones included), not "any". The callers' 0xFF fill leaves it
    // at 0xFF.
    uint8_t AtAddress;
};

// What a platform keeps of an open device beyond the key: files, mappings
// and the like. Only the platform's own files define it.
struct PlxPlatformDevice;

// An open device. Filled by PlxPci_DeviceOpen, passed to every later call
// until PlxPci_DeviceClose.
struct DeviceObject {
    int IsOpen;
    DeviceKey Key;
    PlxPlatformDevice* Platform;  // made by the open, given back by the close
    // Which open filled the object in. A copy kept past its close holds a
    // Platform that a later open may be given again; the generation tells
    // that later device from the closed one.
    uint64_t Generation;
};

// Finds the index-th device (zero-based, in bus order) matching the key and
// describes it in the key, AtAddress set to PLX_AT_ADDRESS. A search for
// index 0 takes a fresh look at the bus; a search for the next index with
// the same key counts in that same look, so that an enumeration from 0
// upward counts one bus, whatever comes or goes meanwhile.
PlxStatus PlxPci_DeviceFind(DeviceKey* key, uint16_t index);

// Opens the device the key describes: exactly the one at the key's
// Domain:Bus:Slot.Function when AtAddress is PLX_AT_ADDRESS (as a search
// leaves it), else the first device matching the key. The device is held
// for this process alone until it is closed (or the process ends);
// another process's open fails meanwhile.
PlxStatus PlxPci_DeviceOpen(DeviceKey* key, DeviceObject* device);

// Closes an open device; unmaps whatever is still mapped.
PlxStatus PlxPci_DeviceClose(DeviceObject* device);

// Reads a 32-bit configuration register; the status goes to *status.
uint32_t PlxPci_PciRegisterRead(uint8_t bus, uint8_t slot, uint8_t function,
                                uint16_t offset, PlxStatus* status);

// Maps a memory BAR into the process; *address receives the BAR's first byte.
PlxStatus PlxPci_PciBarMap(DeviceObject* device, uint8_t barIndex, void** address);

// Undoes PlxPci_PciBarMap for the mapping whose address *address holds.
PlxStatus PlxPci_PciBarUnmap(DeviceObject* device, void** address);

// Reads or writes size bytes (1, 2 or 4, matching accessType) at a bus I/O
// port address of the device.
PlxStatus PlxPci_IoPortRead(DeviceObject* device, uint64_t port, void* value,
                            uint32_t size, int accessType);
PlxStatus PlxPci_IoPortWrite(DeviceObject* device, uint64_t port, void* value,
                             uint32_t size, int accessType);

// ---- Ours: no function of the vendor's library ----------------------------
//
// The platform reaches a card by one of several access methods, chosen per
// device at run time: on Linux the kernel's PCI files in sysfs where the
// kernel allows them, VFIO where the card is bound to vfio-pci or the
// kernel is locked down. The calls above work the same whichever it is.

// What keeps this process from driving a device that a search found, and
// what it should know before it does, found out by reading alone: nothing
// is written, mapped, enabled, opened or locked, so that listing the cards
// can never disturb a run (an open through VFIO would reset the card).
// Judged as the kernel would judge this process (its effective user,
// groups and capabilities).

constexpr std::size_t PLX_REASON_TEXT_MAX = 640;
constexpr int PLX_REASONS_MAX = 12;
constexpr std::size_t PLX_METHOD_NAME_MAX = 16;

// One reason, in the method's own words. The texts are as the system gives
// its names, control characters included: a caller that prints them makes
// them safe first.
struct PlxReason {
    int Blocks;  // 1: a run cannot drive the device now; 0: it can, and this is a note
    char Problem[PLX_REASON_TEXT_MAX];  // what stands in the way, or what to know
    // What helps, or empty: lines apart by '\n'; a line that starts with
    // "# " is a command to run as root, word for word.
    char Remedy[PLX_REASON_TEXT_MAX];
};

struct PlxAccess {
    char Method[PLX_METHOD_NAME_MAX];  // the method a run takes: "sysfs" or "vfio"
    int Count;                         // of Reasons, in the order to deal with them
    PlxReason Reasons[PLX_REASONS_MAX];
};

// Fills *access for the device the key describes (as a search left it).
PlxStatus PlxHost_CheckAccess(const DeviceKey* key, PlxAccess* access);

// Reads the 32-bit register at offset within the device's I/O BAR bar, by
// reading alone, as --list does: nothing is claimed, locked, enabled or
// opened that a run would mind. Fails where the register cannot be read so
// (no rights to the BAR's file, or a device that only its holder may reach
// and no holder).
PlxStatus PlxHost_PeekRegister(const DeviceKey* key, uint8_t bar, uint32_t offset,
                               uint32_t* value);

// After a run loaded the device: keeps what was loaded once this process
// ends. The sysfs files leave a card as it is by themselves; through VFIO
// the kernel resets the device when its last user closes it, so a small
// holder process keeps it open until the next run of that card takes it
// over or it is released.
PlxStatus PlxHost_HoldDevice(DeviceObject* device);

// Ends the holder of the device the key describes, and returns once it has
// closed the device; the kernel then resets the device. *holder receives
// the holder's process ID. PLX_ERR_NOT_HELD (pci/plx_status.h) where no
// holder keeps the device.
PlxStatus PlxHost_ReleaseDevice(const DeviceKey* key, int* holder);

// A window the method could not map into the process: each byte for it
// goes through store(context, byte), in order. Where the mapping takes the
// stores itself, *store is null.
using PlxWindowStore = void (*)(void* context, uint8_t byte);
PlxStatus PlxHost_WindowStore(DeviceObject* device, void* window, PlxWindowStore* store,
                              void** context);
