// The card-access contract (pci/plx_api.h) on Linux, over the kernel's PCI
// files in sysfs (pci/sysfs_formats.h lists them). These functions check
// what they are given and hand the work to the backend's files.
//
// Failures return one of the codes of pci/plx_sysfs_status.h; callers
// give them no meaning beyond "failed".
#include <algorithm>
#include <new>
#include <vector>

#include "pci/sysfs_internal.h"

using namespace sysfs;

namespace {

// No exception may cross the contract: the callers are plain C-style code
// that only looks at the status (std::string and std::vector can throw
// std::bad_alloc).
template <typename Call>
PlxStatus Guarded(Call call)
{
    try {
        return call();
    } catch (...) {
        return PLX_ERR_INTERNAL;
    }
}

// The records of the devices open now. A DeviceObject is a plain struct
// that a caller may copy; a copy that outlives its device's close must
// find its record gone, never reach the freed one, nor a later device's
// record that the allocator placed at the same address: each open has a
// generation of its own.
std::vector<const PlxPlatformDevice*>& LiveRecords()
{
    static std::vector<const PlxPlatformDevice*> records;
    return records;
}

bool IsOpenDevice(const DeviceObject* device)
{
    if (device == nullptr || device->IsOpen != 1 || device->Platform == nullptr)
        return false;
    const auto& live = LiveRecords();
    return std::find(live.begin(), live.end(), device->Platform) != live.end() &&
           device->Platform->Generation == device->Generation;
}

uint64_t NextGeneration()
{
    static uint64_t last = 0;
    return ++last;
}

bool WidthMatches(uint32_t size, int accessType)
{
    return (size == 1 && accessType == PLX_ACCESS_8) ||
           (size == 2 && accessType == PLX_ACCESS_16) ||
           (size == 4 && accessType == PLX_ACCESS_32);
}

PlxStatus PortCall(DeviceObject* device, uint64_t port, void* value, uint32_t size,
                   int accessType, bool write)
{
    if (value == nullptr || !WidthMatches(size, accessType))
        return PLX_ERR_ARGUMENT;
    if (!IsOpenDevice(device))
        return PLX_ERR_NOT_OPEN;
    return Guarded([&] { return AccessPort(device->Platform, port, value, size, write); });
}

}  // namespace

PlxStatus PlxPci_DeviceFind(DeviceKey* key, uint16_t index)
{
    if (key == nullptr)
        return PLX_ERR_ARGUMENT;
    return Guarded([&] {
        Found found;
        const PlxStatus status = FindDevice(*key, index, &found);
        if (status == PLX_STATUS_OK)
            *key = found.Key;
        return status;
    });
}

PlxStatus PlxPci_DeviceOpen(DeviceKey* key, DeviceObject* device)
{
    if (key == nullptr || device == nullptr)
        return PLX_ERR_ARGUMENT;
    if (device->IsOpen == 1)
        return PLX_ERR_ALREADY_OPEN;
    PlxPlatformDevice* platform = new (std::nothrow) PlxPlatformDevice();
    if (platform == nullptr)
        return PLX_ERR_INTERNAL;
    DeviceKey described;
    // Room first, so that once claimed the record is noted without fail.
    const PlxStatus status = Guarded([&] {
        LiveRecords().reserve(LiveRecords().size() + 1);
        return Claim(*key, platform, &described);
    });
    if (status != PLX_STATUS_OK) {
        CloseFile(&platform->LockFile);
        delete platform;
        return status;
    }
    platform->Generation = NextGeneration();
    LiveRecords().push_back(platform);
    device->IsOpen = 1;
    device->Key = described;
    device->Platform = platform;
    device->Generation = platform->Generation;
    *key = described;
    return PLX_STATUS_OK;
}

PlxStatus PlxPci_DeviceClose(DeviceObject* device)
{
    if (!IsOpenDevice(device))
        return PLX_ERR_NOT_OPEN;
    const PlxStatus status = UnmapAll(device->Platform);
    ClosePortFiles(device->Platform);
    CloseFile(&device->Platform->LockFile);
    const DeviceKey& key = device->Key;
    ForgetOpen(PciAddress{key.Domain, key.Bus, key.Slot, key.Function});
    auto& live = LiveRecords();
    live.erase(std::find(live.begin(), live.end(), device->Platform));
    delete device->Platform;
    device->Platform = nullptr;
    device->IsOpen = 0;
    return status;
}

uint32_t PlxPci_PciRegisterRead(uint8_t bus, uint8_t slot, uint8_t function, uint16_t offset,
                                PlxStatus* status)
{
    uint32_t value = 0;
    const PlxStatus result = Guarded([&] {
        std::string folder;
        const PlxStatus found = ResolveFolder(bus, slot, function, &folder);
        return found == PLX_STATUS_OK ? ReadConfig(folder, offset, 4, &value) : found;
    });
    if (status != nullptr)
        *status = result;
    // What a read of nothing gives on PCI, as the vendor's library returns.
    return result == PLX_STATUS_OK ? value : 0xFFFFFFFF;
}

PlxStatus PlxPci_PciBarMap(DeviceObject* device, uint8_t barIndex, void** address)
{
    if (address == nullptr || barIndex >= PLX_BAR_COUNT)
        return PLX_ERR_ARGUMENT;
    if (!IsOpenDevice(device))
        return PLX_ERR_NOT_OPEN;
    if (device->Platform->MapBase[barIndex] != nullptr)
        return PLX_ERR_ALREADY_MAPPED;
    return Guarded([&] { return MapBar(device->Platform, barIndex, address); });
}

PlxStatus PlxPci_PciBarUnmap(DeviceObject* device, void** address)
{
    if (address == nullptr || *address == nullptr)
        return PLX_ERR_ARGUMENT;
    if (!IsOpenDevice(device))
        return PLX_ERR_NOT_OPEN;
    return UnmapWindow(device->Platform, address);
}

PlxStatus PlxPci_IoPortRead(DeviceObject* device, uint64_t port, void* value, uint32_t size,
                            int accessType)
{
    return PortCall(device, port, value, size, accessType, false);
}

PlxStatus PlxPci_IoPortWrite(DeviceObject* device, uint64_t port, void* value, uint32_t size,
                             int accessType)
{
    return PortCall(device, port, value, size, accessType, true);
}

PlxStatus PlxHost_CheckAccess(const DeviceKey* key, PlxAccess* access)
{
    if (key == nullptr || access == nullptr)
        return PLX_ERR_ARGUMENT;
    *access = PlxAccess{};
    return Guarded([&] {
        CheckAccess(DeviceFolder(*key), access);
        return PLX_STATUS_OK;
    });
}
