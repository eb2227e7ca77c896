// What the files of the platform's card access share, and no one else:
// the open device as the platform keeps it, the access methods behind the
// contract (one table each, chosen per device at run time), where the
// devices are, and the jobs each file does for the contract's functions
// (pci/host_contract.cpp).
//
// Both methods find devices, and read their IDs, `resource` and whether a
// driver is bound, through sysfs (the sysfs_* files of discovery); the
// sysfs method then drives the card through its resourceN files, the VFIO
// method (vfio_*) through /dev/vfio.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "pci/plx_api.h"
#include "pci/plx_status.h"
#include "pci/sysfs_formats.h"

constexpr std::size_t PLX_PATH_MAX = 512;

// A device's I/O BARs, read once: the status register is polled a hundred
// times in a row, and each poll should cost one access, not a search.
struct IoBars {
    bool Known = false;                      // the two below are filled in
    uint64_t Base[PLX_BAR_COUNT] = {};       // bus address of each I/O BAR
    uint64_t Length[PLX_BAR_COUNT] = {};     // its length; 0 for other BARs
};

// What the sysfs method keeps of an open device.
struct SysfsDevice {
    void* MapBase[PLX_BAR_COUNT] = {};              // start of each BAR's mapping, or null
    std::size_t MapLength[PLX_BAR_COUNT] = {};      // length of that mapping
    std::size_t MapOffset[PLX_BAR_COUNT] = {};      // where the BAR starts within it
    IoBars Ports;
    int PortFile[PLX_BAR_COUNT] = {-1, -1, -1, -1, -1, -1};  // its open resourceN, or -1
    int LockFile = -1;                              // holds the device's lock, or -1
};
static_assert(PLX_BAR_COUNT == 6, "one -1 per BAR in PortFile");

// What the VFIO method keeps of an open device: its own files define it.
struct VfioDevice;

struct AccessMethod;

// An open device. Made by the open, given back by the close.
struct PlxPlatformDevice {
    const AccessMethod* Method = nullptr;           // the method that opened it
    char Path[PLX_PATH_MAX] = {};                   // the device's folder in sysfs
    PciAddress Address = {};
    uint64_t Generation = 0;                        // that of the DeviceObject it was opened into
    std::vector<sysfs::Resource> Resources;         // its `resource`, read once, at the open
    SysfsDevice Sysfs;
    VfioDevice* Vfio = nullptr;                     // made by the VFIO method's open
};

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
// no domain and no device.
void RememberOpen(PlxPlatformDevice* device);
void ForgetOpen(const PlxPlatformDevice* device);
// The open device at bus/slot/function (the lowest domain if several are
// open), or null; then *path is the folder of the lowest domain on the bus
// that has a device there.
PlxPlatformDevice* ResolveDevice(uint8_t bus, uint8_t slot, uint8_t function, std::string* path,
                                 PlxStatus* status);

// ---- what both methods read (sysfs_host.cpp) -------------------------------

enum class LockdownState { Off, On, Unknown };
// The kernel's lockdown mode, the one in brackets as in "none [integrity]
// confidentiality", into *mode when it is on.
LockdownState ReadLockdown(std::string* mode);
// The name of the driver bound to the device at folder, or "".
std::string BoundDriver(const std::string& folder);
// Whether this process has the capability (CAP_*) in effect.
bool HasCapability(int capability);
// Whether this process has CAP_SYS_ADMIN, which the kernel wants for
// `enable` and for config space past its first 64 bytes.
bool HasAdminCapability();
// The name the kernel keeps for the process (its comm), or "".
std::string ProcessName(long pid);
// The configuration-space offset of BAR bar's register.
constexpr uint32_t BarRegister(unsigned bar)
{
    return 0x10 + 4 * bar;
}
// A BAR register's value: true for an I/O BAR, with its bus address, which
// the card decodes (not the `resource` start, on some architectures a
// logical port number).
bool IoBarBase(uint32_t value, uint64_t* base);
// The I/O BAR holding port..port+size-1, and the port's offset in it.
PlxStatus FindIoBar(const IoBars& bars, uint64_t port, uint32_t size, unsigned* bar,
                    uint64_t* offset);

// Adds a reason to the report, its texts cut to fit (past PLX_REASONS_MAX
// reasons, none is added).
void AddReason(PlxAccess* access, bool blocks, const std::string& problem,
               const std::string& remedy = "");

// ---- the sysfs method: claiming (sysfs_claim.cpp) --------------------------

// Takes the device for this process and makes sure it decodes: the lock
// into device's LockFile, and decoding turned on through `enable`.
PlxStatus Claim(PlxPlatformDevice* device);
// The file whose lock claims the device at folder with these resources:
// that of its first I/O BAR; PLX_ERR_NO_LOCK when it has none.
PlxStatus LockFilePath(const std::string& folder, const std::vector<Resource>& resources,
                       std::string* path);

// ---- the sysfs method: ports and BARs (sysfs_ports.cpp, sysfs_bars.cpp) ----

// Reads the 32-bit register at offset in I/O BAR bar of the device at
// folder through its resourceN file, opened for reading only.
PlxStatus PeekIoBar(const std::string& folder, unsigned bar, uint32_t offset, uint32_t* value);
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

// ---- the sysfs method: access check (sysfs_access_check.cpp) ---------------

// What keeps this process from driving the found device through its
// files.
void CheckAccess(const Found& found, PlxAccess* access);

}  // namespace sysfs

// ---- the access methods (sysfs_method.cpp, vfio_method.cpp) ----------------
//
// One table per method, as pciutils keeps its access methods: the contract
// checks its arguments and the device object, then calls the open
// device's method.

struct AccessMethod {
    const char* Name;  // as --list names it
    // Takes the found device for this process; device's Path, Address and
    // Resources are filled in. PLX_ERR_BUSY when another process holds it.
    PlxStatus (*Open)(const sysfs::Found& found, PlxPlatformDevice* device);
    // Gives back everything the open and later calls took.
    PlxStatus (*Close)(PlxPlatformDevice* device);
    PlxStatus (*ReadConfig)(PlxPlatformDevice* device, uint32_t offset, std::size_t width,
                            uint32_t* value);
    // size bytes at a bus I/O port address of the device.
    PlxStatus (*AccessPort)(PlxPlatformDevice* device, uint64_t port, void* value, uint32_t size,
                            bool write);
    PlxStatus (*MapBar)(PlxPlatformDevice* device, unsigned bar, void** address);
    // Unmaps the mapping whose window *address holds, and clears *address.
    PlxStatus (*UnmapBar)(PlxPlatformDevice* device, void** address);
    // How bytes for the window reach the device (*store null: the mapping).
    PlxStatus (*WindowStore)(PlxPlatformDevice* device, void* window, PlxWindowStore* store,
                             void** context);
    // Keeps what was loaded once the process ends.
    PlxStatus (*Hold)(PlxPlatformDevice* device);
    // Ends the found device's holder (*holder: its process ID);
    // PLX_ERR_NOT_HELD when there is none.
    PlxStatus (*Release)(const sysfs::Found& found, int* holder);
    // What keeps this process from driving the found device (reading only).
    void (*CheckAccess)(const sysfs::Found& found, PlxAccess* access);
    // The register at offset in I/O BAR bar of the found device, by reading
    // alone (PlxHost_PeekRegister).
    PlxStatus (*Peek)(const sysfs::Found& found, unsigned bar, uint32_t offset, uint32_t* value);
};

extern const AccessMethod SYSFS_METHOD;
extern const AccessMethod VFIO_METHOD;

// The method for the found device: VFIO where the card is bound to
// vfio-pci or the kernel is locked down (it then refuses the sysfs files
// to everyone), the sysfs files everywhere else.
const AccessMethod& ChooseMethod(const sysfs::Found& found);
