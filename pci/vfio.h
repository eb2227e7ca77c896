// What the files of the VFIO method share, and no one else: the open
// device as the method keeps it, where its files are, the holder that keeps
// a loaded card open after its run, and how runs and the list talk to it.
//
// vfio-pci resets the device when it is first opened and again when the
// last descriptor of it closes; for a card alone behind its bridge the
// reset at close is a bus reset, which clears what the card's logic was
// loaded with. So a run that loaded its card hands the descriptors to a
// holder process, and the next run of that card takes them over from it.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "pci/host.h"

namespace vfio {

// The regions of a PCI device: BAR 0 to 5, the expansion ROM, then config
// space (vfio-pci's region indexes).
constexpr unsigned CONFIG_REGION = 7;
constexpr unsigned REGION_COUNT = 8;

struct Region {
    uint64_t Offset = 0;  // where the region starts in the device's file
    uint64_t Size = 0;    // 0: the device has no such region
    uint32_t Flags = 0;   // VFIO_REGION_INFO_FLAG_*
};

// A BAR the kernel would not let the process map: the run's stores go to a
// page of its own (memory of the process, never the card's) whose address
// stands for the window, and each byte goes to the card as a one-byte
// write of the region. Should such a write fail, the page is cut away, so
// that the store into it faults as a lost mapping would.
struct StoredWindow {
    int Device = -1;
    uint64_t Offset = 0;  // the BAR's first byte in the device's file
    int Page = -1;        // the stand-in page's memory file
    volatile uint8_t* Window = nullptr;
};

}  // namespace vfio

struct VfioDevice {
    int Container = -1;
    int Group = -1;
    int Device = -1;
    std::string GroupPath;  // the group's device file, as opened
    vfio::Region Regions[vfio::REGION_COUNT];
    IoBars Ports;  // bus addresses from config space, lengths from the regions
    void* MapBase[PLX_BAR_COUNT] = {};
    std::size_t MapLength[PLX_BAR_COUNT] = {};
    vfio::StoredWindow Stored[PLX_BAR_COUNT];  // Page -1 where the BAR is mapped itself
};

namespace vfio {

// ---- where things are (vfio_paths.cpp) -------------------------------------

// /dev, or the folder VELDRAN_DEV_ROOT names (never for set-user-ID,
// set-group-ID or file-capability runs, as secure_getenv decides).
std::string DevRoot();
std::string ContainerPath();  // DEV/vfio/vfio

// The device's IOMMU group, from its iommu_group link.
struct GroupFiles {
    int Number = -1;
    bool NoIommu = false;  // the kernel's unsafe no-IOMMU mode: DEV/vfio/noiommu-N
    std::string Path;      // the group's device file under DevRoot
    std::string Shown;     // the same as an operator finds it: /dev/vfio/N
};
// False where the device is in no group (the kernel has no IOMMU for it).
bool FindGroup(const std::string& folder, GroupFiles* group);

// RunFolder("hold") (pci/run_folder.h):
// the holders' sockets, one per card, named by its address.
std::string HoldFolder();
std::string HoldSocket(const PciAddress& address);

// ---- the device (vfio_device.cpp) -------------------------------------------

PlxStatus Open(const sysfs::Found& found, PlxPlatformDevice* device);
PlxStatus Close(PlxPlatformDevice* device);

// ---- config, ports and BARs (vfio_ports_bars.cpp) ---------------------------

PlxStatus ReadConfig(PlxPlatformDevice* device, uint32_t offset, std::size_t width,
                     uint32_t* value);
PlxStatus WriteCommand(VfioDevice* vfio, uint16_t command);
PlxStatus AccessPort(PlxPlatformDevice* device, uint64_t port, void* value, uint32_t size,
                     bool write);
PlxStatus MapBar(PlxPlatformDevice* device, unsigned bar, void** address);
PlxStatus UnmapBar(PlxPlatformDevice* device, void** address);
void UnmapAll(VfioDevice* vfio);
PlxStatus WindowStore(PlxPlatformDevice* device, void* window, PlxWindowStore* store,
                      void** context);

// ---- the holder (vfio_holder.cpp) -------------------------------------------

// What a holder keeps, and where it is found.
struct Held {
    int Container = -1;
    int Group = -1;
    int Device = -1;
    Region Regions[REGION_COUNT];
    int Request = -1;       // the kernel's request for the device back (an eventfd), or -1
    int Listener = -1;      // the socket, bound at Bound; the holder listens on it
    std::string Bound;      // where the run bound it
    std::string SocketPath; // where the holder puts it once it listens
    int64_t Since = 0;      // when the holder started, in seconds since 1970 (UTC)
};

// Starts the holder of the open device: a process of its own that keeps
// the container, group and device open once this process has closed them.
PlxStatus Hold(PlxPlatformDevice* device);

// In the holder: listens, puts the socket in its place and reports on
// ready (a descriptor, closed then; -1 for none); then serves askers until
// a run takes the device over, an operator releases it or the kernel asks
// for it back. Returns with everything it held closed, or false at once if
// it could not start listening.
bool ServeHold(Held* held, int ready);

// ---- asking the holder (vfio_hold_client.cpp) -------------------------------

// One connection, one question: an Ask, then an Answer (with the three
// descriptors, container, group and device, for a take-over).
enum : char { ASK_STATUS = 'S', ASK_TAKE_OVER = 'T', ASK_RELEASE = 'R', ASK_PEEK = 'P' };
struct Ask {
    char What;
    uint8_t Bar;  // for ASK_PEEK: the I/O BAR and the register's offset in it
    uint16_t Unused;
    uint32_t Offset;
};
struct Answer {
    int32_t Error;  // 0, or an errno value
    int32_t Pid;
    int64_t Since;
    uint32_t Value;  // the register, for ASK_PEEK
    uint32_t Unused;
};

enum class HolderState { None, Answered, Silent };
struct HolderStatus {
    long Pid = 0;       // as this process's /proc names it
    int64_t Since = 0;  // when it started; for a silent one, when its socket was made
};
// Asks the holder of the card whose socket is at path who it is, by
// reading alone: a socket that a dead holder left is None and stays. Silent:
// a socket is there, but this process may not connect to it, or no one
// answers.
HolderState AskStatus(const std::string& path, HolderStatus* status);

// Takes the device over from its holder, which then ends: fds receives
// container, group and device. PLX_ERR_NOT_HELD where no holder answers
// (a socket a dead holder left is removed); PLX_ERR_HOLD where the group
// descriptor received is not that of groupPath.
PlxStatus TakeOver(const std::string& path, const std::string& groupPath, int fds[3]);

// Ends the holder, and waits until it has closed the device: *pid is the
// holder's process ID. PLX_ERR_NOT_HELD where there is none.
PlxStatus ReleaseHolder(const std::string& path, long* pid);

// The 32-bit register at offset in I/O BAR bar, read by the holder.
PlxStatus PeekHolder(const std::string& path, unsigned bar, uint32_t offset, uint32_t* value);

// ---- who has a group open (vfio_group_users.cpp) ----------------------------

struct GroupUser {
    long Pid;
    std::string Name;
};
// The processes but this one with the file at path open, as /proc shows
// them: those whose descriptors this process may read.
std::vector<GroupUser> GroupUsers(const std::string& path);

// ---- the access check (vfio_access_check.cpp) -------------------------------

void CheckAccess(const sysfs::Found& found, PlxAccess* access);

}  // namespace vfio
