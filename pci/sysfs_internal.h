// What the files of the sysfs card-access backend share, and no one else:
// the open device as the backend keeps it, where the devices are, and the
// jobs each file does for the contract's functions (pci/sysfs_contract.cpp).
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "pci/plx_api.h"
#include "pci/plx_sysfs_status.h"
#include "pci/sysfs_formats.h"

constexpr std::size_t PLX_PATH_MAX = 512;

// An open device. Made by the open, given back by the close.
struct PlxPlatformDevice {
    char Path[PLX_PATH_MAX] = {};                   // the device's folder
    void* MapBase[PLX_BAR_COUNT] = {};              // start of each BAR's mapping, or null
    std::size_t MapLength[PLX_BAR_COUNT] = {};      // length of that mapping
    std::size_t MapOffset[PLX_BAR_COUNT] = {};      // where the BAR starts within it
    // The I/O BARs, read once: the status register is polled a hundred
    // times in a row, and each poll should cost one access, not a search.
    int PortsKnown = 0;                             // the three below are filled in
    uint64_t PortBase[PLX_BAR_COUNT] = {};          // bus address of each I/O BAR
    uint64_t PortLength[PLX_BAR_COUNT] = {};        // its length; 0 for other BARs
    int PortFile[PLX_BAR_COUNT] = {-1, -1, -1, -1, -1, -1};  // its open resourceN, or -1
    int LockFile = -1;                              // holds the device's lock, or -1
    uint64_t Generation = 0;                        // that of the DeviceObject it was opened into
};
static_assert(PLX_BAR_COUNT == 6, "one -1 per BAR in PortFile");

namespace sysfs {

constexpr uint16_t COMMAND_OFFSET = 0x04;
constexpr uint16_t COMMAND_DECODE_BITS = 0x0003;  // I/O space | memory space

// ---- paths (sysfs_paths.cpp) -----------------------------------------------

// /sys, or the folder VELDRAN_SYSFS_ROOT names (never for set-user-ID,
// set-group-ID or file-capability runs, as secure_getenv decides).
std::string SysfsRoot();
std::string DevicesFolder();  // ROOT/bus/pci/devices
// DDDD:BB:SS.F, the key's address as the kernel names the device.
std::string DeviceName(const DeviceKey& key);
std::string DeviceFolder(const DeviceKey& key);
std::string ResourceFile(const std::string& folder, unsigned bar);  // FOLDER/resourceN

// ---- files (sysfs_files.cpp) -----------------------------------------------
// Every file is reached with open/pread/pwrite/mmap, never stdio: the
// kernel takes only 1, 2 or 4 byte accesses to an I/O BAR's file.

class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int Get() const { return fd_; }
    bool Ok() const { return fd_ >= 0; }

private:
    int fd_;
};

int OpenFile(const std::string& path, int flags);
void CloseFile(int* fd);  // and marks it closed (-1)
// One pread or pwrite of exactly size bytes; a short transfer is a failure
// (an I/O BAR's file must see the access whole).
bool PreadExact(int fd, void* buffer, std::size_t size, uint64_t offset);
bool PwriteExact(int fd, const void* buffer, std::size_t size, uint64_t offset);
// Reads a whole small file; fails if it cannot be read or exceeds limit.
bool ReadSmallFile(const std::string& path, std::size_t limit, std::string* text);
bool IsFolderPath(const std::string& path);  // following links

// ---- devices (sysfs_devices.cpp) -------------------------------------------

// A device found on the bus.
struct Found {
    PciAddress Address;
    std::string Path;  // ROOT/bus/pci/devices/NAME (the link, if it is one)
    DeviceKey Key;     // its address and IDs, AtAddress set
};

// The index-th device matching want, in domain, bus, slot, function order;
// the next index after a search counts in that search's look at the bus.
PlxStatus FindDevice(const DeviceKey& want, uint16_t index, Found* found);
// The device at exactly want's address, if its IDs match want.
PlxStatus FindAt(const DeviceKey& want, Found* found);
// Devices opened and not yet closed, for the register read, which is given
// no domain. Kept by address, not by object, so that a copied DeviceObject
// closes as well as the original.
void RememberOpen(const PciAddress& address, const std::string& path);
void ForgetOpen(const PciAddress& address);
// The folder of the device at bus/slot/function: that of an open device
// with those numbers (the lowest domain if several are open), else the
// lowest domain on the bus that has one.
PlxStatus ResolveFolder(uint8_t bus, uint8_t slot, uint8_t function, std::string* path);

// ---- claiming (sysfs_claim.cpp) --------------------------------------------

// Finds the device the key names, takes it for this process and makes sure
// it decodes; fills in device's Path and LockFile, and *described.
PlxStatus Claim(const DeviceKey& key, PlxPlatformDevice* device, DeviceKey* described);
// The file whose lock claims the device at folder: that of its first I/O
// BAR. Fails as reading `resource` does, or with PLX_ERR_NO_LOCK when it
// lists no I/O BAR.
PlxStatus LockFilePath(const std::string& folder, std::string* path);

// ---- ports and BARs (sysfs_ports.cpp, sysfs_bars.cpp) ----------------------

// Reads or writes size bytes at a bus I/O port address of the device.
PlxStatus AccessPort(PlxPlatformDevice* device, uint64_t port, void* value, uint32_t size,
                     bool write);
void ClosePortFiles(PlxPlatformDevice* device);
PlxStatus MapBar(PlxPlatformDevice* device, unsigned bar, void** address);
// Unmaps the mapping whose window *address holds, and clears *address.
PlxStatus UnmapWindow(PlxPlatformDevice* device, void** address);
PlxStatus UnmapAll(PlxPlatformDevice* device);

// ---- the lock's holder (sysfs_lock_holder.cpp) -----------------------------

enum class LockState { Free, Held, Unknown };
// Whether another process holds a flock lock on the file at path, and
// which one: *pid as the kernel shows it (0 where it does not) and its
// name where that can be read. Unknown when the list of locks cannot be read.
LockState FindLockHolder(const std::string& path, long* pid, std::string* name);

// ---- access check (sysfs_access_check.cpp) ---------------------------------

// What keeps this process from driving the device at folder (the fields
// of *access start cleared).
void CheckAccess(const std::string& folder, PlxAccess* access);

}  // namespace sysfs
