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

// ---- Ours, for --list: no function of the vendor's library ---------------
//
// What keeps this process from driving a device that a search found, found
// out by reading alone: nothing is written, mapped, enabled or locked, so
// that listing the cards can never disturb a run. Judged as the kernel
// would judge this process (its effective user, groups and capabilities).

// Bits of PlxAccess::Blocks: what keeps a run off the device now.
enum : unsigned {
    PLX_BLOCK_LOCKDOWN = 1u << 0,      // the kernel is locked down (Lockdown names the mode)
    PLX_BLOCK_READ_ONLY = 1u << 1,     // the device's files are on a read-only mount
    PLX_BLOCK_PERMISSION = 1u << 2,    // Denied may not be opened for reading and writing
    PLX_BLOCK_NOT_DECODING = 1u << 3,  // I/O or memory decoding is off (MayEnable, EnableCount)
    PLX_BLOCK_MISSING = 1u << 4,       // Missing are not there or cannot be read
    PLX_BLOCK_NO_IO_BAR = 1u << 5,     // no I/O BAR: no registers to reach, no lock to take
    PLX_BLOCK_IN_USE = 1u << 6,        // another process holds the device (Holder)
};

// Bits of PlxAccess::Notes: what a run goes ahead despite, and what could
// not be found out.
enum : unsigned {
    PLX_NOTE_DRIVER = 1u << 0,            // a kernel driver (Driver) is bound to the device
    PLX_NOTE_LOCKDOWN_UNKNOWN = 1u << 1,  // the lockdown setting cannot be read
    PLX_NOTE_USE_UNKNOWN = 1u << 2,       // the kernel's list of locks cannot be read
};

constexpr std::size_t PLX_ACCESS_TEXT_MAX = 64;

// The texts are as the system gives them, control characters included.
struct PlxAccess {
    unsigned Blocks;
    unsigned Notes;
    int MayEnable;    // this process may write `enable`
    // The kernel's count of enables of the device, as `enable` reads, or -1
    // if it cannot be read. Writing `enable` turns decoding on only while
    // the count is 0.
    int EnableCount;
    int Holder;  // the process holding the device, as the kernel shows it; 0 if it does not
    char HolderName[PLX_ACCESS_TEXT_MAX];  // that process's name, or ""
    char Lockdown[PLX_ACCESS_TEXT_MAX];    // the lockdown mode in force
    char Driver[PLX_ACCESS_TEXT_MAX];      // the bound driver's name
    char Denied[PLX_ACCESS_TEXT_MAX];      // the files concerned, as "resource1 and resource3"
    char Missing[PLX_ACCESS_TEXT_MAX];
};

// Fills *access for the device the key describes (as a search left it).
PlxStatus PlxHost_CheckAccess(const DeviceKey* key, PlxAccess* access);
